#include "dicom/toolkit/dataset_reader.h"

#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "host/base/files.h"

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

// Reads the pieces of an announced dataset up to its last one, each handed
// to `piece` (which may mark the dataset broken, after which the pieces are
// still read but no longer handed over).
DataResult ReadPieces(
    T_ASC_Association* assoc, int timeout, std::string& why,
    const std::function<bool(const DUL_PDV&, E_TransferSyntax)>& piece) {
  E_TransferSyntax syntax = EXS_Unknown;
  T_ASC_PresentationContextID first_id = 0;
  bool broken = false;
  bool last = false;
  for (int count = 0; !last; ++count) {
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
    if (!piece(pdv, syntax)) broken = true;
  }
  return broken ? DataResult::kUnparsable : DataResult::kReceived;
}

// The writing out of a received file is started in steps of this size.
constexpr off_t kWritebackStep = 1 << 20;
// Received pieces go to the file in writes of this size.
constexpr size_t kWriteChunk = 256 * 1024;
constexpr off_t kPage = 4096;

}  // namespace

DataResult ReceiveDataset(T_ASC_Association* assoc, int timeout,
                          std::unique_ptr<DcmDataset>& out, std::string& why) {
  auto dataset = std::make_unique<DcmDataset>();
  DcmInputBufferStream buffer;
  dataset->transferInit();
  DataResult result = ReadPieces(
      assoc, timeout, why, [&](const DUL_PDV& pdv, E_TransferSyntax syntax) {
        if (pdv.fragmentLength > 0)
          buffer.setBuffer(pdv.data, pdv.fragmentLength);
        if (pdv.lastPDV) buffer.setEos();
        OFCondition read = dataset->read(buffer, syntax);
        // What the piece left unread is kept before the next PDU overwrites
        // it.
        buffer.releaseBuffer();
        if (read.bad() && read != EC_StreamNotifyClient) {
          why = std::string("dataset does not parse: ") + read.text();
          return false;
        }
        if (pdv.lastPDV && read == EC_StreamNotifyClient) {
          why = "dataset ends inside an element";
          return false;
        }
        return true;
      });
  dataset->transferEnd();
  if (result == DataResult::kReceived) out = std::move(dataset);
  return result;
}

DataResult ReceiveDatasetToFile(T_ASC_Association* assoc, int timeout, int fd,
                                bool write_out, int& write_error,
                                std::string& why) {
  write_error = 0;
  off_t start = ::lseek(fd, 0, SEEK_CUR);
  if (start < 0) start = 0;
  off_t written = start;
  off_t started = start;  // the writing out has been started up to here
  // The pieces (a PDU's worth each) are gathered into writes that end on a
  // page boundary: fewer calls, and no page is begun by one write and
  // finished by the next.
  std::vector<char> pending;
  pending.reserve(kWriteChunk);
  size_t chunk = kWriteChunk - static_cast<size_t>(start % kPage);
  auto write_pending = [&]() {
    if (pending.empty()) return;
    write_error = WriteAll(fd, pending.data(), pending.size());
    written += static_cast<off_t>(pending.size());
    pending.clear();
    chunk = kWriteChunk;
  };
  DataResult result = ReadPieces(
      assoc, timeout, why, [&](const DUL_PDV& pdv, E_TransferSyntax) {
        if (write_error != 0) return true;
        const char* data = static_cast<const char*>(pdv.data);
        size_t left = pdv.fragmentLength;
        while (left > 0 && write_error == 0) {
          size_t take = std::min(left, chunk - pending.size());
          pending.insert(pending.end(), data, data + take);
          data += take;
          left -= take;
          if (pending.size() == chunk) write_pending();
        }
        if (pdv.lastPDV && write_error == 0) write_pending();
        if (write_error != 0) return true;
        if (write_out && written > started &&
            (written - started >= kWritebackStep || pdv.lastPDV)) {
          // The disk works on the image while the rest of it arrives and
          // while earlier images are flushed.
          ::sync_file_range(fd, started, written - started,
                            SYNC_FILE_RANGE_WRITE);
          started = written;
        }
        return true;
      });
  return result;
}

}  // namespace vantor::dicom
