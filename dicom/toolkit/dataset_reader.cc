#include "dicom/toolkit/dataset_reader.h"

#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>
#include <fcntl.h>
#include <unistd.h>

#include <functional>

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
  DataResult result = ReadPieces(
      assoc, timeout, why, [&](const DUL_PDV& pdv, E_TransferSyntax) {
        if (write_error != 0 || pdv.fragmentLength == 0) return true;
        write_error = WriteAll(fd, pdv.data, pdv.fragmentLength);
        if (write_error != 0) return true;
        written += static_cast<off_t>(pdv.fragmentLength);
        if (write_out &&
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
