// Storage Commitment requester for the end-to-end tests: sends one N-ACTION
// (Storage Commitment Request) with dcmjs-dimse and waits for the
// N-EVENT-REPORT, on the same association (--mode same: the association is
// held open until the report came, then released) or on a new one (--mode
// new: the association is released right after the N-ACTION response and an
// SCP of ours listens on --listen-port for the report). Prints one JSON
// object on standard output and exits 0 once it has something to say; every
// wait is bounded by --timeout (ms).
//
//   node commit.js --host 127.0.0.1 --port 11112 --aet MODALITY \
//     --called VANTOR --mode same --transaction 1.2.3 \
//     --ref 1.2.840.10008.5.1.4.1.1.7:1.2.3.4 [--ref ...] \
//     [--listen-port 11113] [--no-transaction] [--no-sequence] \
//     [--action-type 1] [--timeout 20000]
'use strict';

const dimse = require('dcmjs-dimse');

const { Client, Server, Scp, Dataset, log } = dimse;
const { NActionRequest } = dimse.requests;
const { NEventReportResponse } = dimse.responses;
const { Status, SopClass, TransferSyntax, PresentationContextResult } =
  dimse.constants;

log.setLevel('silent');

function parseArgs(argv) {
  const args = { refs: [], mode: 'same', timeout: 20000, actionType: 1 };
  for (let i = 0; i < argv.length; i++) {
    const next = () => argv[++i];
    switch (argv[i]) {
      case '--host': args.host = next(); break;
      case '--port': args.port = Number(next()); break;
      case '--aet': args.aet = next(); break;
      case '--called': args.called = next(); break;
      case '--mode': args.mode = next(); break;
      case '--transaction': args.transaction = next(); break;
      case '--ref': {
        const [sopClass, sopInstance] = next().split(':');
        args.refs.push({ sopClass, sopInstance });
        break;
      }
      case '--listen-port': args.listenPort = Number(next()); break;
      case '--no-transaction': args.noTransaction = true; break;
      case '--no-sequence': args.noSequence = true; break;
      case '--action-type': args.actionType = Number(next()); break;
      case '--timeout': args.timeout = Number(next()); break;
      default: throw new Error(`unknown argument ${argv[i]}`);
    }
  }
  return args;
}

const args = parseArgs(process.argv.slice(2));
const result = { actionStatus: null, reports: [], events: [] };
let finished = false;

function finish(code) {
  if (finished) return;
  finished = true;
  process.stdout.write(JSON.stringify(result) + '\n');
  // Whatever is still open (the listening SCP, a lingering association)
  // goes with the process.
  process.exit(code);
}

function asArray(value) {
  if (value === undefined || value === null) return [];
  return Array.isArray(value) ? value : [value];
}

// The report's content and the association it came on.
function recordReport(request, via, association) {
  const dataset = request.getDataset();
  const elements = dataset ? dataset.getElements() : {};
  const report = {
    via,
    eventTypeId: request.getEventTypeId(),
    sopClass: request.getAffectedSopClassUid(),
    sopInstance: request.getAffectedSopInstanceUid(),
    transactionUid: elements.TransactionUID,
    retrieveAet: elements.RetrieveAETitle,
    referenced: asArray(elements.ReferencedSOPSequence).map((item) => ({
      sopClass: item.ReferencedSOPClassUID,
      sopInstance: item.ReferencedSOPInstanceUID,
    })),
    failed: asArray(elements.FailedSOPSequence).map((item) => ({
      sopClass: item.ReferencedSOPClassUID,
      sopInstance: item.ReferencedSOPInstanceUID,
      reason: item.FailureReason,
    })),
  };
  if (association) {
    report.callingAet = association.getCallingAeTitle();
    report.calledAet = association.getCalledAeTitle();
  }
  result.reports.push(report);
}

function answer(request, callback) {
  const response = NEventReportResponse.fromRequest(request);
  response.setStatus(Status.Success);
  callback(response);
}

// The SCP that takes the report on an association the service opens.
class CommitmentScp extends Scp {
  constructor(socket, opts) {
    super(socket, opts);
    this.association = undefined;
  }

  associationRequested(association) {
    this.association = association;
    result.events.push('new association requested');
    for (const { context } of association.getPresentationContexts()) {
      if (context.getAbstractSyntaxUid() === SopClass.StorageCommitmentPushModel) {
        const syntaxes = context.getTransferSyntaxUids();
        const chosen = syntaxes.includes(TransferSyntax.ImplicitVRLittleEndian)
          ? TransferSyntax.ImplicitVRLittleEndian
          : syntaxes[0];
        context.setResult(PresentationContextResult.Accept, chosen);
      } else {
        context.setResult(PresentationContextResult.RejectAbstractSyntaxNotSupported);
      }
    }
    this.sendAssociationAccept();
  }

  associationReleaseRequested() {
    this.sendAssociationReleaseResponse();
    // The report has been answered: the result is complete.
    if (result.reports.length > 0) setTimeout(() => finish(0), 100);
  }

  nEventReportRequest(request, callback) {
    recordReport(request, 'new', this.association);
    answer(request, callback);
  }
}

function sendRequest() {
  const client = new Client();
  const request = new NActionRequest(
    SopClass.StorageCommitmentPushModel,
    '1.2.840.10008.1.20.1.1',
    args.actionType
  );
  const elements = {};
  if (!args.noTransaction) elements.TransactionUID = args.transaction;
  if (!args.noSequence) {
    elements.ReferencedSOPSequence = args.refs.map((r) => ({
      ReferencedSOPClassUID: r.sopClass,
      ReferencedSOPInstanceUID: r.sopInstance,
    }));
  }
  request.setDataset(new Dataset(elements));
  request.on('response', (response) => {
    result.actionStatus = response.getStatus();
    if (result.actionStatus !== Status.Success) setTimeout(() => finish(0), 200);
  });
  client.addRequest(request);
  client.on('nEventReportRequest', (report, callback) => {
    if (args.mode === 'new') {
      // A requester that is done once the N-ACTION is answered: the
      // report crossing its release stays unanswered.
      result.events.push('report on the released association not taken');
      return;
    }
    recordReport(report, 'same', undefined);
    answer(report, callback);
    // Released once the answer is on its way.
    setTimeout(() => {
      if (client.network) client.network.sendAssociationReleaseRequest();
    }, 100);
  });
  client.on('associationRejected', (reject) => {
    result.events.push(`association rejected ${JSON.stringify(reject)}`);
    finish(0);
  });
  client.on('associationReleased', () => result.events.push('released'));
  client.on('associationAborted', () => {
    result.events.push('aborted');
    if (args.mode === 'same') setTimeout(() => finish(0), 100);
  });
  client.on('networkError', (e) => result.events.push(`network error: ${e.message}`));
  client.on('closed', () => {
    result.events.push('closed');
    if (args.mode === 'same') setTimeout(() => finish(0), 100);
  });
  client.send(args.host, args.port, args.aet, args.called, {
    connectTimeout: args.timeout,
    associationTimeout: args.timeout,
    pduTimeout: args.timeout,
    // Same association: held open for the report (released as soon as it
    // came); new association: released right after the N-ACTION response.
    associationLingerTimeout: args.mode === 'same' ? args.timeout : 0,
  });
}

setTimeout(() => {
  result.events.push('timed out');
  finish(0);
}, args.timeout + 5000);

if (args.mode === 'new') {
  const server = new Server(CommitmentScp);
  server.on('networkError', (e) => result.events.push(`scp error: ${e.message}`));
  server.listen(args.listenPort);
  // Listening is set up synchronously enough for loopback; the request
  // goes out on the next turn.
  setImmediate(sendRequest);
} else {
  sendRequest();
}
