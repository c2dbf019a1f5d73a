// A C-STORE whose dataset is the stored file's bytes, without the toolkit
// reading the file into a dataset and encoding it again.
#include "dicom/toolkit/stored_file_store.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace vantor::dicom {
namespace {

// The PDU and PDV item headers around a PDV's data.
constexpr unsigned long kPdvOverhead = 12;

void PutLittle16(std::string& out, uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

void PutLittle32(std::string& out, uint32_t v) {
  PutLittle16(out, static_cast<uint16_t>(v & 0xFFFF));
  PutLittle16(out, static_cast<uint16_t>(v >> 16));
}

// One element of the command group in implicit little endian.
void PutElement(std::string& out, uint16_t element, std::string_view value) {
  PutLittle16(out, 0x0000);
  PutLittle16(out, element);
  PutLittle32(out, static_cast<uint32_t>(value.size()));
  out.append(value);
}

void PutUid(std::string& out, uint16_t element, const char* uid) {
  std::string value(uid);
  if (value.size() % 2 != 0) value += '\0';
  PutElement(out, element, value);
}

void PutUs(std::string& out, uint16_t element, uint16_t v) {
  std::string value;
  PutLittle16(value, v);
  PutElement(out, element, value);
}

// The C-STORE-RQ command set, as the toolkit writes it: the group length,
// then the elements in the order of their tags.
std::string StoreCommand(const T_DIMSE_C_StoreRQ& request) {
  std::string body;
  PutUid(body, 0x0002, request.AffectedSOPClassUID);
  PutUs(body, 0x0100, DIMSE_C_STORE_RQ);
  PutUs(body, 0x0110, request.MessageID);
  PutUs(body, 0x0700, static_cast<uint16_t>(request.Priority));
  PutUs(body, 0x0800, DIMSE_DATASET_PRESENT);
  PutUid(body, 0x1000, request.AffectedSOPInstanceUID);
  std::string command;
  std::string length;
  PutLittle32(length, static_cast<uint32_t>(body.size()));
  PutElement(command, 0x0000, length);
  return command + body;
}

OFCondition SendFailed(const std::string& why) {
  return makeDcmnetCondition(DIMSEC_SENDFAILED, OF_error, why.c_str());
}

bool WritePdv(T_ASC_Association* assoc, uint8_t pc_id, DUL_DATAPDV type,
              bool last, void* data, unsigned long length,
              OFCondition& cond) {
  DUL_PDV pdv;
  pdv.fragmentLength = length;
  pdv.presentationContextID = pc_id;
  pdv.pdvType = type;
  pdv.lastPDV = last ? OFTrue : OFFalse;
  pdv.data = data;
  DUL_PDVLIST list;
  std::memset(&list, 0, sizeof list);
  list.count = 1;
  list.pdv = &pdv;
  cond = DUL_WritePDVs(&assoc->DULassociation, &list);
  return cond.good();
}

// `size` bytes of `fd` from `offset` into `buffer`; false when the file
// ends before or cannot be read.
bool ReadExactly(int fd, uint64_t offset, unsigned char* buffer,
                 size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, buffer + got, size - got,
                              static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

struct OpenFile {
  int fd = -1;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

OFCondition StoreFileAsStored(T_ASC_Association* assoc, uint8_t pc_id,
                              const T_DIMSE_C_StoreRQ& request,
                              const std::string& path, uint64_t dataset_offset,
                              int timeout, T_DIMSE_C_StoreRSP* response,
                              DcmDataset** detail) {
  if (detail != nullptr) *detail = nullptr;
  OpenFile file;
  file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file.fd < 0)
    return SendFailed("cannot open " + path + ": " + std::strerror(errno));
  struct stat st;
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
    return SendFailed("cannot read " + path);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size <= dataset_offset)
    return SendFailed(path + " holds no dataset after its meta header");

  // The command, in a PDV of its own.
  std::string command = StoreCommand(request);
  OFCondition cond;
  if (!WritePdv(assoc, pc_id, DUL_COMMANDPDV, true, command.data(),
                static_cast<unsigned long>(command.size()), cond))
    return cond;

  // The dataset in PDVs as large as the peer takes (and as the toolkit's
  // own sending is bounded to).
  unsigned char* buffer = assoc->sendPDVBuffer;
  unsigned long room = assoc->sendPDVLength;
  const Uint32 most = dcmMaxOutgoingPDUSize.get();
  if (room + kPdvOverhead > most) room = most - kPdvOverhead;
  // Even, so that only the file's last PDV can be odd.
  room &= ~1ul;
  if (buffer == nullptr || room == 0)
    return SendFailed("no buffer to send " + path);
  uint64_t at = dataset_offset;
  while (at < size) {
    const uint64_t left = size - at;
    const unsigned long length =
        left < room ? static_cast<unsigned long>(left) : room;
    if (!ReadExactly(file.fd, at, buffer, length))
      return SendFailed(path + " could not be read to its end");
    at += length;
    if (!WritePdv(assoc, pc_id, DUL_DATASETPDV, at == size, buffer, length,
                  cond))
      return cond;
  }

  // The response to this request.
  T_DIMSE_Message rsp;
  std::memset(&rsp, 0, sizeof rsp);
  T_ASC_PresentationContextID rsp_pc = pc_id;
  cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, timeout, &rsp_pc, &rsp,
                              detail);
  if (cond.bad()) return cond;
  if (rsp.CommandField != DIMSE_C_STORE_RSP) {
    char text[80];
    std::snprintf(text, sizeof text,
                  "DIMSE: Unexpected Response Command Field: 0x%x",
                  static_cast<unsigned>(rsp.CommandField));
    return makeDcmnetCondition(DIMSEC_UNEXPECTEDRESPONSE, OF_error, text);
  }
  *response = rsp.msg.CStoreRSP;
  if (response->MessageIDBeingRespondedTo != request.MessageID) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "DIMSE: Unexpected Response MsgId: %d (expected: %d)",
                  response->MessageIDBeingRespondedTo, request.MessageID);
    return makeDcmnetCondition(DIMSEC_UNEXPECTEDRESPONSE, OF_error, text);
  }
  return EC_Normal;
}

}  // namespace vantor::dicom
