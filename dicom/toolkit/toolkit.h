// The toolkit layer: what the service uses of DICOM networking, datasets and
// Part 10 files. DCMTK stays behind this header; nothing outside dicom/
// includes a DCMTK header.
//
// Text is UTF-8 throughout. An identifier arrives decoded from its Specific
// Character Set; responses are encoded back into the requester's set, or in
// ISO_IR 192 (saying so) when that set cannot hold a value.
#ifndef VANTOR_DICOM_TOOLKIT_H_
#define VANTOR_DICOM_TOOLKIT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/base/value.h"
#include "host/base/tls_settings.h"

namespace vantor::dicom {

// DICOM statuses the service sets.
inline constexpr uint16_t kStatusSuccess = 0x0000;
inline constexpr uint16_t kStatusPending = 0xFF00;
inline constexpr uint16_t kStatusMoveDestinationUnknown = 0xA801;
inline constexpr uint16_t kStatusGetCallerUnknown = 0xA900;
inline constexpr uint16_t kStatusOutOfResources = 0xA700;
inline constexpr uint16_t kStatusUnableToProcess = 0xC000;
inline constexpr uint16_t kStatusSubOperationsFailed = 0xB000;
inline constexpr uint16_t kStatusProcessingFailure = 0x0110;
inline constexpr uint16_t kStatusMoveOutOfResources = 0xA702;
inline constexpr uint16_t kStatusCancel = 0xFE00;
// Refused: the caller is not authorised for the operation.
inline constexpr uint16_t kStatusNotAuthorized = 0x0124;
// N-ACTION failures, and the failure reason of an instance that is not
// committed.
inline constexpr uint16_t kStatusInvalidAttributeValue = 0x0106;
inline constexpr uint16_t kStatusNoSuchObjectInstance = 0x0112;
inline constexpr uint16_t kStatusClassInstanceConflict = 0x0119;
inline constexpr uint16_t kStatusMissingAttribute = 0x0120;
inline constexpr uint16_t kStatusNoSuchActionType = 0x0123;

// The toolkit failure that ends the service when it reaches the dispatcher
// (the association layer's network went away under the server).
inline constexpr int32_t kFatalToolkitFailure = 61706;

// A dataset: attributes addressed by (group, element).
class Dataset {
 public:
  struct Element {
    uint16_t group;
    uint16_t element;
    Value value;
  };

  Dataset();
  ~Dataset();
  Dataset(const Dataset& other);
  Dataset& operator=(const Dataset& other);
  Dataset(Dataset&& other) noexcept;
  Dataset& operator=(Dataset&& other) noexcept;

  // True when the attribute is present (even with an empty value).
  bool Has(uint16_t group, uint16_t element) const;

  // The value: null when absent or empty; a Date for a single DA value; a
  // whole number for IS/SS/US/SL/UL; a decimal for DS/FL/FD; text otherwise
  // (DICOM padding removed; a date range or several values stay text).
  Value Get(uint16_t group, uint16_t element) const;

  // Get(...) as text: "" when absent or empty.
  std::string GetText(uint16_t group, uint16_t element) const;

  // Adds or replaces the attribute, encoded by its VR: a Date becomes DA
  // (YYYYMMDD), a DateTime DA/DT/TM as the VR asks, a number IS/DS/US/...,
  // text as it stands, null an empty value.
  void Put(uint16_t group, uint16_t element, const Value& value);

  // The top-level attributes in order (sequences enumerate as null).
  std::vector<Element> Enumerate() const;

  std::string PatientName() const;       // (0010,0010)
  std::string PatientID() const;         // (0010,0020)
  std::string StudyInstanceUID() const;  // (0020,000D)

  // The dataset encoded in Explicit VR Little Endian (as an audit message
  // records a query's identifier); "" when it cannot be encoded.
  std::string Encoded() const;

  // For the toolkit layer only.
  struct Impl;
  Impl& impl() { return *impl_; }
  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

using DatasetCollection = std::vector<Dataset>;

// An association as the service sees it.
struct Connection {
  std::string calling_aet;  // as the requester sent it (may hold blanks)
  std::string remote_ip;
  int32_t number = 0;      // per-association number, counting from 1
  std::string called_aet;  // the further descriptive text
  // How the connection is protected: "" for plain TCP, else the TLS
  // version, cipher suite and, when one was presented, the peer's
  // certificate subject ("TLSv1.3 TLS_AES_256_GCM_SHA384 CN=...").
  std::string security;
};

// The files of a TLS end point (the base floor reads them from the settings).
using TlsFiles = ::vantor::TlsFiles;

// An instance named by a Storage Commitment request or report.
struct SopReference {
  std::string sop_class;     // Referenced SOP Class UID (0008,1150)
  std::string sop_instance;  // Referenced SOP Instance UID (0008,1155)
};

// A Storage Commitment request (N-ACTION, action type 1) as received.
struct CommitmentRequest {
  std::string transaction_uid;  // (0008,1195)
  std::vector<SopReference> references;  // Referenced SOP Sequence
};

struct CommitmentFailure {
  SopReference reference;
  uint16_t reason = kStatusNoSuchObjectInstance;  // Failure Reason
};

// What the service found of a request: every reference lands in one list.
struct CommitmentOutcome {
  std::vector<SopReference> committed;
  std::vector<CommitmentFailure> failed;
};

// The N-EVENT-REPORT that answers a request: event type 1 when nothing
// failed, 2 otherwise.
struct CommitmentReport {
  std::string transaction_uid;
  // Retrieve AE Title given with the committed instances; "" leaves it out.
  std::string retrieve_aet;
  CommitmentOutcome outcome;
};

// Where a report goes on an association of the service's own.
struct ReportDestination {
  std::string address;  // IP address or host name
  int32_t port = 0;
  std::string called_aet;
  std::string calling_aet;
  // Seconds for the connection, the association and the answer.
  int timeout_seconds = 10;
  bool tls = false;  // with the files of `tls_files`, as the store client
  TlsFiles tls_files;
};

// The answer to whether a request is taken: the N-ACTION status (0000 to
// go on) and, when taken, how the report is made and where it goes when it
// cannot go back on the requester's association.
struct CommitmentAcceptance {
  uint16_t status = kStatusProcessingFailure;
  std::string retrieve_aet;
  ReportDestination destination;
};

// The file a C-STORE's dataset is received into.
struct ReceptionTarget {
  std::string path;  // a new file's path; "" to receive it in memory
  // The image is to be stored in the syntax it arrives in: the file goes
  // to the disk while it grows.
  bool as_stored = false;
};

// A C-FIND, C-GET or C-MOVE request on its association.
class Request {
 public:
  struct SubOperations {
    int completed = 0;
    int failed = 0;
    int warning = 0;
  };

  virtual ~Request() = default;
  virtual const Connection& connection() const = 0;
  // "C-FIND", "C-GET" or "C-MOVE".
  virtual std::string operation() const = 0;
  // The command's Affected SOP Class UID ("" when not known).
  virtual std::string sop_class() const { return {}; }
  virtual const Dataset& identifier() const = 0;
  virtual std::string move_destination() const = 0;
  // True once the requester cancelled (C-CANCEL) or the association is gone.
  virtual bool finished() const = 0;
  // True once the requester cancelled (C-CANCEL).
  virtual bool cancelled() const = 0;
  // One response for `dataset` with `status`; nothing once finished.
  virtual void SendPending(const Dataset& dataset, uint16_t status) = 0;
  // The final response. For C-GET it carries the sub-operation counts.
  virtual void SendFinal(uint16_t status) = 0;
  // C-MOVE: a pending response with the sub-operation counts so far.
  virtual void SendMoveProgress(const SubOperations& counts, int remaining) = 0;
  // C-MOVE: the final response with the sub-operation counts (`remaining`
  // only when not 0) and, when not empty, an Error Comment.
  virtual void SendMoveFinal(uint16_t status, const SubOperations& counts,
                             int remaining,
                             const std::string& error_comment) = 0;
  // C-GET: sends each file as a C-STORE sub-operation on this association
  // (in a transfer syntax the requester accepted for its SOP class,
  // converting where needed) with a pending C-GET response after each.
  // A file that cannot be read or sent is a failed sub-operation.
  virtual SubOperations SendFiles(const std::vector<std::string>& paths) = 0;
};

// An image received by C-STORE.
class ReceivedImage {
 public:
  virtual ~ReceivedImage() = default;
  virtual std::string PatientID() const = 0;
  virtual std::string PatientName() const = 0;
  virtual std::string StudyInstanceUID() const = 0;
  virtual std::string SeriesInstanceUID() const = 0;
  virtual std::string SOPInstanceUID() const = 0;
  virtual std::string SOPClassUID() const = 0;
  virtual void SetSOPClassUID(const std::string& uid) = 0;
  // The transfer syntax UID it arrived in.
  virtual std::string TransferSyntaxUID() const = 0;
  virtual const Dataset& Attributes() const = 0;
  // Writes the image to `path` (a Part 10 file when `part10`), in
  // `transfer_syntax_uid`, converting as needed (the caller flushes it to
  // the disk). Throws a Failure, and leaves no file, when it cannot.
  virtual void WriteFile(const std::string& path, bool part10,
                         const std::string& transfer_syntax_uid) = 0;
};

// A command as counted once its final response went out.
struct CommandTally {
  std::string command;  // "C-ECHO", "C-FIND", "C-STORE", ...
  uint16_t status = 0;  // of the final response
  double seconds = 0;   // from the request to the final response
  uint64_t bytes_received = 0;  // a C-STORE's dataset
  int images_sent = 0;  // C-GET and C-MOVE: sub-operations completed
};

// The events the server raises. Handlers run on the association's worker
// thread; handlers of different associations run at the same time. No
// handler may throw (the layer catches and logs anything that escapes).
class ServerEvents {
 public:
  virtual ~ServerEvents() = default;
  virtual void AssociationRequest2(const Connection& connection,
                                   bool& is_ok) = 0;
  virtual void QueryRequest(Request& request) = 0;
  // Returns the C-STORE status.
  virtual uint16_t ImageReceivedAsync(const Connection& connection,
                                      ReceivedImage& image) = 0;
  virtual void VerifyReceived(int32_t& status) = 0;
  // `status` as left is the N-EVENT-REPORT response status.
  virtual void EventReport(const Connection& connection, uint16_t event_id,
                           const Dataset& dataset, uint16_t& status) = 0;
  // Storage Commitment (push model). Whether N-ACTION requests are served
  // at all; when not, an N-ACTION is an unsupported command like any other.
  virtual bool CommitmentEnabled() = 0;
  // Whether the caller may ask for Storage Commitment (called before the
  // request's content is checked).
  virtual CommitmentAcceptance CommitmentRequested(
      const Connection& connection, const CommitmentRequest& request) = 0;
  // Which instances of a taken request are committed; called after its
  // N-ACTION response has gone out.
  virtual CommitmentOutcome CommitmentDecide(
      const CommitmentRequest& request) = 0;
  // The report could not go back on the requester's association: the
  // handler sends it on an association of the service's own (it may do so
  // later and on another thread; it keeps copies).
  virtual void CommitmentReportUndelivered(
      const ReportDestination& destination, const CommitmentReport& report) = 0;
  virtual void ActionComplete(const Connection& connection,
                              const std::string& action, bool success,
                              const std::string& error_message) = 0;
  virtual void InfoMessage(int16_t info_type, const std::string& text) = 0;
  // The syntax received images are stored in, accepted first on a storage
  // context that proposes it; "" for no preference.
  virtual std::string StoredSyntax() { return {}; }
  // Where the dataset of a C-STORE announced for `sop_instance` in
  // `transfer_syntax` is written as it arrives. An image received into a
  // file becomes that file when it is written in the syntax it arrived in
  // and nothing in it changes, and is rewritten from it otherwise.
  virtual ReceptionTarget ReceptionFile(const Connection& connection,
                                        const std::string& sop_instance,
                                        const std::string& transfer_syntax) {
    (void)connection;
    (void)sop_instance;
    (void)transfer_syntax;
    return {};
  }

  // What the server counts, for the service's metrics (nothing by default).
  // An association request was answered: `outcome` is "accepted",
  // "rejected" (the host said no), or why it was refused before the host
  // saw it: "busy" (every slot taken), "address" or "ae_title" (the
  // caller's own bound), "invalid_ae_title".
  virtual void AssociationAnswered(const std::string& outcome) {
    (void)outcome;
  }
  // An accepted association ended (released, aborted or lost).
  virtual void AssociationClosed() {}
  // The server refused a caller on its own: an association request over
  // the caller's bound or naming an AE title that is not valid
  // (`connection` holds the calling AE title and address only), or a
  // dataset that could not be read (`bad_input`: a query's or event
  // report's aborts the association, a C-STORE's is refused). `text` says
  // what happened.
  virtual void CallerRefused(const Connection& connection, bool bad_input,
                             const std::string& text) {
    (void)connection;
    (void)bad_input;
    (void)text;
  }
  // A command was answered (its final response went out).
  virtual void CommandAnswered(const CommandTally& tally) { (void)tally; }
};

// How many associations one caller may hold at once. 0 = no bound. The
// addresses in `balancers` speak for others (a TCP balancer in front of
// the service): they are not bounded per address, only per AE title.
struct AssociationBounds {
  int per_address = 0;
  int per_ae_title = 0;
  std::vector<std::string> balancers;
};

// The DICOM server object: accepts every association on its port and runs
// each on a thread of its own, up to `max_associations` at once (more are
// rejected for temporary congestion). Association requests are read in
// parallel, up to 128 per port, so that no caller waits on another.
class Server {
 public:
  explicit Server(ServerEvents& events, int max_associations = 32);
  ~Server();  // stops listening and waits for running associations
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts listening on `port` (all interfaces); false when the port cannot
  // be bound.
  bool Listen(int port);
  // Starts listening for DICOM over TLS on `port` (TLS 1.2 or 1.3, the BCP
  // 195 cipher suites) with the certificate, key and CAs of `files`; when
  // it listens there with TLS already, new connections use these files
  // from now on (running ones keep theirs). False, with the reason in
  // `error`, when the files cannot be read or do not fit together (nothing
  // changes then) or the port cannot be bound. The TLS handshake runs on
  // the connection's own intake thread within the association time.
  bool ListenTls(int port, const TlsFiles& files, std::string& error);
  // Stops listening on `port` (no-op when not listening there): no new
  // connection is taken, requests still being read are cut short.
  void StopListening(int port);

  // The intake and idle times, from the configuration pass; they apply to
  // connections accepted and to waits begun from then on.
  //   association_seconds: time a connection has from its acceptance to a
  //     complete association request (1 to 30; the network's ARTIM time of
  //     30 s is the most)
  //   idle_seconds: time an association may stay without a DIMSE message
  //     before it is released; 0 = never
  void SetTimeouts(int association_seconds, int idle_seconds);
  // The bounds per caller, from the configuration pass; they apply to
  // association requests answered from then on (associations already open
  // are counted, never ended). A request over a bound is rejected for
  // temporary congestion, like one over the total.
  void SetBounds(const AssociationBounds& bounds);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The toolkit's protocol log: collects the network layer's log lines in
// memory while running.
//   length: the most entries held (older ones are dropped); 0 or less = 10000
//   level: 0 = info, 1 = debug, 2 or more = trace, less than 0 = warnings only
class ProtocolLog {
 public:
  static void Start(int32_t length, int16_t level);
  static void Stop();
  static bool Running();
  static int32_t Count();
  // The first `count` entries, joined by CR LF.
  static std::string Text(int32_t count);
  // Removes the first `count` entries.
  static void Clear(int32_t count);
};

// Sets the process up for the network (TCP_NODELAY=1, DCMTK's dictionary and
// codecs). Call once before the first Server.
void InitializeToolkit();

// The same, with the slow part (reading the dictionary, registering the
// codecs) on the thread returned, so that a short-lived program does its
// own start meanwhile; InitializeToolkit waits for it. The environment is
// set before it returns. The thread must be joined before the program ends.
std::thread InitializeToolkitInBackground();

// For a process that sends stored files as they are (the C-MOVE sender):
// the dictionary is read with the standard attributes only, and the rest of
// it (the private attributes) only once a file has to be read as a dataset
// (to convert it, or when its meta header is not plain), which the toolkit
// then does by itself; reading all of it is most of such a process's work.
// Without effect when DCMDICTPATH names the dictionaries. Call before
// InitializeToolkit, while the process has one thread.
void DeferPrivateDictionary();

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_TOOLKIT_H_
