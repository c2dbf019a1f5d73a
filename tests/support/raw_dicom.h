// A DICOM peer written byte by byte, for the cases DCMTK's clients cannot
// produce: silent or half-sent connections, AE titles with control bytes,
// commands with over-long UIDs, datasets that do not parse.
//
//   RawConnection c(service.port());
//   c.Send(AssociateRq("VANTOR", "RAW", {{1, kVerificationUid}}));
//   std::optional<RawPdu> ac = c.ReadPdu(std::chrono::seconds(5));
#ifndef VANTOR_TESTS_SUPPORT_RAW_DICOM_H_
#define VANTOR_TESTS_SUPPORT_RAW_DICOM_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantor {

inline constexpr char kVerificationUid[] = "1.2.840.10008.1.1";
inline constexpr char kCtImageStorageUid[] = "1.2.840.10008.5.1.4.1.1.2";

// PDU types.
inline constexpr uint8_t kPduAssociateAc = 0x02;
inline constexpr uint8_t kPduAssociateRj = 0x03;
inline constexpr uint8_t kPduData = 0x04;
inline constexpr uint8_t kPduReleaseRq = 0x05;
inline constexpr uint8_t kPduReleaseRp = 0x06;
inline constexpr uint8_t kPduAbort = 0x07;

struct RawPdu {
  uint8_t type = 0;
  std::string body;  // without the 6-byte header
};

// A TCP connection to 127.0.0.1:port, from `source` (a loopback address
// such as "127.0.0.2"; empty: the system's choice). Throws when it cannot
// connect.
class RawConnection {
 public:
  explicit RawConnection(int port, const std::string& source = "");
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool Send(const std::string& bytes);
  // The next PDU, or nothing when none came whole within `timeout` or the
  // connection closed.
  std::optional<RawPdu> ReadPdu(std::chrono::milliseconds timeout);
  // Whether the peer closed the connection within `timeout` (anything it
  // sends meanwhile is read and dropped).
  bool WaitClosed(std::chrono::milliseconds timeout);
  void Close();

 private:
  int fd_ = -1;
  std::string pending_;
};

// A-ASSOCIATE-RQ proposing each (context id, abstract syntax) with
// implicit little endian. The titles are written as given (padded with
// blanks to 16 bytes), control bytes and all.
std::string AssociateRq(
    const std::string& called, const std::string& calling,
    const std::vector<std::pair<uint8_t, std::string>>& contexts);
std::string ReleaseRq();
std::string ReleaseRp();
std::string AbortPdu();

// P-DATA-TF PDUs carrying `data` on context `context_id` as command or
// dataset fragments of at most `fragment` bytes, the last one marked.
std::string PData(uint8_t context_id, bool command, const std::string& data,
                  size_t fragment = 16384);

// One implicit little endian element; strings are padded to even length
// (UIDs with NUL, other text with a blank).
std::string Element(uint16_t group, uint16_t element, const std::string& value);
std::string UsElement(uint16_t group, uint16_t element, uint16_t value);
std::string UidElement(uint16_t group, uint16_t element,
                       const std::string& uid);
// A command set: the group length element, then `elements`.
std::string CommandSet(const std::string& elements);

std::string EchoRq(uint16_t message_id);
// A C-STORE-RQ that announces a dataset.
std::string StoreRq(uint16_t message_id, const std::string& sop_class,
                    const std::string& sop_instance);

// Reads the response command of the association: its status and the
// message id it answers; nothing when no whole command came in time.
struct RawResponse {
  uint16_t command_field = 0;
  uint16_t status = 0xFFFF;
  uint16_t answered_id = 0;
};
std::optional<RawResponse> ReadResponse(RawConnection& c,
                                        std::chrono::milliseconds timeout);

// A-ASSOCIATE-RQ sent and A-ASSOCIATE-AC read; false when anything else
// came back.
bool Associate(RawConnection& c, const std::string& calling,
               const std::vector<std::pair<uint8_t, std::string>>& contexts);

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_RAW_DICOM_H_
