// The DICOM server's own parts, shared by its files: server.cc (the server
// object and its listeners), intake.cc (connections, their slots, the TLS
// intake and the watchdog), association_loop.cc (admission and the command
// loop) and responses.cc (the responses to each command).
//
// Association intake runs on intake threads: one of them at a time waits
// for the next connection; the moment it has accepted one, another takes
// over the waiting while this one reads the association request and then
// runs the association to its end. A connection that does not complete its
// request in time is closed by the watchdog, so a silent caller delays
// nobody else.
#ifndef VANTOR_DICOM_TOOLKIT_SERVER_IMPL_H_
#define VANTOR_DICOM_TOOLKIT_SERVER_IMPL_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "dicom/toolkit/dataset_reader.h"
#include "dicom/toolkit/received_image.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/failure.h"
#include "host/base/thread_annotations.h"

namespace vantor::dicom {
namespace server_impl {

using Clock = std::chrono::steady_clock;

// The network's own ARTIM time (s): the most an association request may
// take; the configured AssociationTimeout shortens it through the watchdog.
inline constexpr int kAcseTimeout = 30;
// The worker and intake loops look at the stop flag this often (s).
inline constexpr int kPollSeconds = 1;
// The largest PDU this service receives. Large images arrive in fewer
// pieces (and fewer reads) than with the toolkit's default of 16 KiB.
inline constexpr unsigned long kReceivePdu = ASC_MAXIMUMPDUSIZE;
// Seconds a peer has to send each piece of a dataset its command announced.
inline constexpr int kDataTimeout = 60;
// Connections reading their association request at once, per port.
inline constexpr int kMaxNegotiating = 128;
// Seconds a peer has to answer the release of an idle association.
inline constexpr int kReleaseAnswerSeconds = 10;

// Info message types raised by the server.
inline constexpr int16_t kInfoContextsRefused = 1;
inline constexpr int16_t kInfoUnsupportedCommand = 2;
inline constexpr int16_t kInfoAssociationAborted = 3;
inline constexpr int16_t kInfoRequestTimeout = 4;
inline constexpr int16_t kInfoIdleEnded = 5;
inline constexpr int16_t kInfoCallerBound = 6;

// Command field and data set type values of the command set.
inline constexpr Uint16 kCommandCStoreRq = 0x0001;
inline constexpr Uint16 kNoDataSet = 0x0101;

// The transfer syntax accepted on presentation context `id`.
std::string AcceptedSyntax(T_ASC_Association* assoc,
                           T_ASC_PresentationContextID id);

inline std::string Trimmed(const char* text) {
  std::string s = text;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// An AE title the service can answer: no control bytes (NUL included) and
// no backslash. `raw` is what the request held.
inline bool IsValidAeTitle(const std::string& raw) {
  for (unsigned char c : raw)
    if (c < 0x20 || c == 0x7F || c == '\\') return false;
  return true;
}

// What the watchdog does to a connection whose deadline has passed.
enum class Expiry { kClose, kAbort };

// The C-STORE response; the instance UID is left out when it cannot be
// copied as it came (responses.cc).
OFCondition SendStoreResponse(T_ASC_Association* assoc,
                              T_ASC_PresentationContextID id, DIC_US message_id,
                              const std::string& sop_class,
                              const std::string& sop_instance, bool padded,
                              uint16_t status);
// A status as the action log writes it ("C000").
std::string StatusText(uint16_t status);

}  // namespace server_impl

struct Server::Impl {
  using Clock = server_impl::Clock;
  using Expiry = server_impl::Expiry;

  explicit Impl(ServerEvents& e, int max) : events(e), max_associations(max) {
    watchdog = std::thread([this] { WatchdogLoop(); });
  }

  class IntakeLayer;
  class IntakeConnection;
  class IntakeTlsConnection;

  struct Listener {
    T_ASC_Network* network = nullptr;
    bool secure = false;           // DICOM over TLS
    IntakeLayer* layer = nullptr;  // owned by the network
    // Under the server's mu, reached through Of(listener), which needs it.
    struct State {
      bool stop = false;
      bool acceptor = false;  // an intake thread waits for connections
      int negotiating = 0;    // connections reading their request
      int threads = 0;        // intake threads not yet past negotiation
    } state;
  };
  Listener::State& Of(Listener& l) REQUIRES(mu) { return l.state; }

  // One connection on its intake thread. Its socket is acted on by the
  // watchdog only while `open`: the connection closes it only after
  // clearing the flag, so a reused descriptor is never hit.
  struct Slot {
    Listener* listener = nullptr;
    bool accepted = false;  // intake thread only
    int fd = -1;            // set before the slot opens
    std::string address;
    // What the watchdog reads, under watch_mu, reached through
    // Watched(slot), which needs it.
    struct Watch {
      bool open = false;
      bool negotiating = false;
      Clock::time_point deadline = Clock::time_point::max();
      Expiry expiry = Expiry::kClose;
      bool fired = false;
      bool tls = false;  // a TLS connection: the watchdog only closes it
    } watch;
    // The AE titles as the request carried them.
    bool raw = false;
    std::string raw_called;
    std::string raw_calling;
    // A TLS connection's session once the handshake is done ("" before),
    // or why the handshake failed; the intake thread's own.
    std::string security;
    std::string tls_error;
  };
  Slot::Watch& Watched(Slot& slot) REQUIRES(watch_mu) { return slot.watch; }

  // The transport layer of the listening networks: tells the intake that
  // a connection was accepted, and gives it a connection the watchdog can
  // cut short. A TLS listener's layer also holds the TLS context that new
  // connections take; a renewed certificate replaces it while the port
  // stays open.
  class IntakeLayer : public DcmTransportLayer {
   public:
    IntakeLayer(Impl& impl, std::shared_ptr<DcmTLSTransportLayer> tls)
        : impl_(impl), tls_(std::move(tls)) {}
    DcmTransportConnection* createConnection(DcmNativeSocketType sock,
                                             OFBool secure) override;
    void SetTls(std::shared_ptr<DcmTLSTransportLayer> tls) EXCLUDES(mu_) {
      MutexLock lock(&mu_);
      tls_ = std::move(tls);
    }

   private:
    std::shared_ptr<DcmTLSTransportLayer> Tls() EXCLUDES(mu_) {
      MutexLock lock(&mu_);
      return tls_;
    }
    Impl& impl_;
    Mutex mu_;
    std::shared_ptr<DcmTLSTransportLayer> tls_ GUARDED_BY(mu_);
  };

  // A connection that closes leaves the watchdog's sight; once only.
  void ForgetSlot(Slot*& slot) EXCLUDES(watch_mu) {
    if (slot == nullptr) return;
    MutexLock lock(&watch_mu);
    Watched(*slot).open = false;
    slot = nullptr;
  }

  ServerEvents& events;
  const int max_associations;
  std::atomic<bool> stopping{false};
  std::atomic<int32_t> next_number{1};
  std::atomic<int> association_timeout{server_impl::kAcseTimeout};
  std::atomic<int> idle_timeout{120};

  Mutex mu;
  CondVar changed;
  int active GUARDED_BY(mu) = 0;   // established associations
  // The established associations per calling address and per calling AE
  // title (blanks trimmed), and the bounds they are held to.
  std::map<std::string, int> active_by_address GUARDED_BY(mu);
  std::map<std::string, int> active_by_ae_title GUARDED_BY(mu);
  AssociationBounds bounds GUARDED_BY(mu);
  int threads GUARDED_BY(mu) = 0;  // intake threads alive
  std::map<int, std::unique_ptr<Listener>> listeners GUARDED_BY(mu);

  Mutex watch_mu;
  CondVar watch_changed;
  std::set<Slot*> slots GUARDED_BY(watch_mu);
  bool watch_stop GUARDED_BY(watch_mu) = false;
  std::thread watchdog;

  static thread_local Slot* current_slot;

  // The server and its listeners (server.cc). A TLS listener when `tls`
  // is not null.
  bool OpenListener(int port, std::shared_ptr<DcmTLSTransportLayer> tls)
      REQUIRES(mu);

  // The intake (intake.cc).
  void MaybeStartAcceptor(Listener& l) REQUIRES(mu);
  void IntakeThread(Listener& l) EXCLUDES(mu, watch_mu);
  // Waits for a connection until one is accepted or the listener stops;
  // what reading its association request gave.
  OFCondition AwaitConnection(Listener& l, Slot& slot,
                              T_ASC_Association*& assoc) EXCLUDES(mu);
  // The request of an accepted connection was read (or not): admits it or
  // says why not.
  void Negotiated(Listener& l, Slot& slot, T_ASC_Association* assoc,
                  const OFCondition& cond) EXCLUDES(mu, watch_mu);
  void RequestFailed(Slot& slot, T_ASC_Association* assoc,
                     const OFCondition& cond, bool timed_out,
                     bool listener_stopped) EXCLUDES(watch_mu);
  void Accepted(Slot& slot, int fd, bool tls) EXCLUDES(mu, watch_mu);
  void WatchdogLoop() EXCLUDES(watch_mu);
  void SetDeadline(Slot& slot, Clock::time_point deadline, Expiry expiry)
      EXCLUDES(watch_mu);
  // Clears the deadline; true when the watchdog had acted on it.
  bool ClearDeadline(Slot& slot) EXCLUDES(watch_mu);

  // Admission and the command loop (association_loop.cc).
  void Admit(T_ASC_Association* assoc, Slot& slot) EXCLUDES(mu);
  // Tells the events how an association request was answered.
  void Answered(const std::string& outcome);
  // Tells the events that the server refused a caller on its own.
  void Refused(const Connection& caller, bool bad_input,
               const std::string& text);
  // False when the association was not accepted.
  bool RunAssociation(T_ASC_Association* assoc, const Connection& conn,
                      Slot& slot);
  void EndIdle(T_ASC_Association* assoc, const Connection& conn, Slot& slot,
               int idle_seconds);
  // Returns false when the association ended.
  // The command is counted for the events once answered.
  bool HandleCommand(T_ASC_Association* assoc, const Connection& conn,
                     T_ASC_PresentationContextID pres_id, T_DIMSE_Message& msg);
  // Serves the command; `status` is its final response's once sent, and
  // `tally` gets what it moved.
  bool ServeCommand(T_ASC_Association* assoc, const Connection& conn,
                    T_ASC_PresentationContextID pres_id, T_DIMSE_Message& msg,
                    std::optional<uint16_t>& status, CommandTally& tally);
  // A C-STORE's dataset and its answer; false when the association ended.
  bool ReceiveStore(T_ASC_Association* assoc, const Connection& conn,
                    T_ASC_PresentationContextID pres_id,
                    const T_DIMSE_C_StoreRQ& rq,
                    std::optional<uint16_t>& status, uint64_t& bytes);
  // Answers a C-STORE whose dataset was read to its end with `status` and
  // logs why; false when the association ended.
  bool RefuseStore(T_ASC_Association* assoc, const Connection& conn,
                   T_ASC_PresentationContextID pres_id,
                   const T_DIMSE_C_StoreRQ& rq, uint16_t status,
                   const std::string& why);
  // Receives a C-STORE's dataset into the new file `target.path`, behind the meta
  // header its command makes, and loads it as `image`. kReceived without
  // an image: the file could not be written (`why`), the dataset was read
  // to its end. Nothing (the dataset not yet read) when the file could not
  // be made. The file is gone unless it became `image`.
  std::optional<DataResult> ReceiveIntoFile(T_ASC_Association* assoc,
                             const T_DIMSE_C_StoreRQ& rq,
                             const ReceptionTarget& target,
                             const std::string& syntax,
                             std::unique_ptr<DcmReceivedImage>& image,
                             std::string& why, uint64_t& bytes);
  // A command whose set was received but could not be parsed; false when
  // the association ended.
  bool HandleUnparsedCommand(T_ASC_Association* assoc, const Connection& conn,
                             T_ASC_PresentationContextID pres_id,
                             DcmDataset& command, const OFCondition& why);

  // The responses (responses.cc); each returns the status it answered.
  uint16_t HandleEcho(T_ASC_Association* assoc, T_ASC_PresentationContextID id,
                  const T_DIMSE_C_EchoRQ& rq);
  std::optional<uint16_t> HandleQuery(T_ASC_Association* assoc,
                                      const Connection& conn,
                                      T_ASC_PresentationContextID id,
                                      const T_DIMSE_Message& msg,
                                      DcmDataset* identifier, int& sent);
  uint16_t HandleStore(T_ASC_Association* assoc, const Connection& conn,
                   T_ASC_PresentationContextID id, const T_DIMSE_C_StoreRQ& rq,
                   DcmReceivedImage& image);
  uint16_t HandleEventReport(T_ASC_Association* assoc, const Connection& conn,
                         T_ASC_PresentationContextID id,
                         const T_DIMSE_N_EventReportRQ& rq,
                         std::unique_ptr<DcmDataset> data);

  void Info(int16_t type, const std::string& text) {
    GuardVoid("DCMServer", [&] { events.InfoMessage(type, text); });
  }
  void Action(const Connection& conn, const std::string& action, bool ok,
              const std::string& error) {
    GuardVoid("DCMServer",
              [&] { events.ActionComplete(conn, action, ok, error); });
  }
  void Ended(const Connection& conn, const std::string& why) {
    Info(server_impl::kInfoAssociationAborted,
         "Association " + std::to_string(conn.number) + " from " +
             server_impl::Trimmed(conn.calling_aet.c_str()) +
             " ended without release: " + why);
  }
};

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_TOOLKIT_SERVER_IMPL_H_
