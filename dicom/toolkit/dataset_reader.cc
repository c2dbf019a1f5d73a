#include "dicom/toolkit/dataset_reader.h"

#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

namespace vantor::dicom {
namespace {

// The next PDV of the association, reading PDUs as needed.
OFCondition NextPdv(T_ASC_Association* assoc, int timeout, DUL_PDV* pdv) {
  OFCondition cond = DUL_NextPDV(&assoc->DULassociation, pdv);
  if (cond.good()) return cond;
  cond = DUL_ReadPDVs(&assoc->DULassociation, nullptr, DUL_NOBLOCK, timeout);
  if (cond != DUL_PDATAPDUARRIVED)
    return cond.bad() ? cond : DIMSE_READPDVFAILED;
  return DUL_NextPDV(&assoc->DULassociation, pdv);
}

}  // namespace

DataResult ReceiveDataset(T_ASC_Association* assoc, int timeout,
                          std::unique_ptr<DcmDataset>& out, std::string& why) {
  auto dataset = std::make_unique<DcmDataset>();
  DcmInputBufferStream buffer;
  dataset->transferInit();
  E_TransferSyntax syntax = EXS_Unknown;
  T_ASC_PresentationContextID first_id = 0;
  bool broken = false;
  bool last = false;
  for (int count = 0; !last; ++count) {
    buffer.releaseBuffer();
    DUL_PDV pdv;
    OFCondition cond = NextPdv(assoc, timeout, &pdv);
    if (cond.bad()) {
      why = std::string("dataset not received: ") + cond.text();
      return DataResult::kLost;
    }
    if (pdv.pdvType != DUL_DATASETPDV) {
      why = "a command arrived where a dataset was announced";
      return DataResult::kLost;
    }
    if (count == 0) {
      first_id = pdv.presentationContextID;
      T_ASC_PresentationContext pc;
      if (ASC_findAcceptedPresentationContext(assoc->params, first_id, &pc)
              .bad()) {
        why = "dataset on a presentation context that was not accepted";
        return DataResult::kLost;
      }
      syntax = DcmXfer(pc.acceptedTransferSyntax).getXfer();
    } else if (pdv.presentationContextID != first_id) {
      why = "dataset pieces on different presentation contexts";
      return DataResult::kLost;
    }
    last = pdv.lastPDV;
    if (broken) continue;
    if (pdv.fragmentLength % 2 != 0) {
      broken = true;
      why = "dataset piece of odd length";
      continue;
    }
    if (pdv.fragmentLength > 0) buffer.setBuffer(pdv.data, pdv.fragmentLength);
    if (last) buffer.setEos();
    OFCondition read = dataset->read(buffer, syntax);
    if (read.bad() && read != EC_StreamNotifyClient) {
      broken = true;
      why = std::string("dataset does not parse: ") + read.text();
    } else if (last && read == EC_StreamNotifyClient) {
      broken = true;
      why = "dataset ends inside an element";
    }
  }
  dataset->transferEnd();
  if (broken) return DataResult::kUnparsable;
  out = std::move(dataset);
  return DataResult::kReceived;
}

}  // namespace vantor::dicom
