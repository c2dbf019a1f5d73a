// The DICOM server. Association intake runs on intake threads: one of them
// at a time waits for the next connection; the moment it has accepted one,
// another takes over the waiting while this one reads the association
// request and then runs the association to its end. A connection that does
// not complete its request in time is closed by the watchdog, so a silent
// caller delays nobody else.
#include <arpa/inet.h>
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmtls/tlstrans.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dicom/toolkit/commitment_scp.h"
#include "dicom/toolkit/dataset_impl.h"
#include "dicom/toolkit/dataset_reader.h"
#include "dicom/toolkit/negotiation.h"
#include "dicom/toolkit/query_request.h"
#include "dicom/toolkit/received_image.h"
#include "dicom/toolkit/tls_context.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/failure.h"
#include "host/base/log.h"

namespace vantor::dicom {
namespace {

using Clock = std::chrono::steady_clock;

// The network's own ARTIM time (s): the most an association request may
// take; the configured AssociationTimeout shortens it through the watchdog.
constexpr int kAcseTimeout = 30;
// The worker and intake loops look at the stop flag this often (s).
constexpr int kPollSeconds = 1;
// The largest PDU this service receives. Large images arrive in fewer
// pieces (and fewer reads) than with the toolkit's default of 16 KiB.
constexpr unsigned long kReceivePdu = ASC_MAXIMUMPDUSIZE;
// Seconds a peer has to send each piece of a dataset its command announced.
constexpr int kDataTimeout = 60;
// Connections reading their association request at once, per port.
constexpr int kMaxNegotiating = 128;
// Seconds a peer has to answer the release of an idle association.
constexpr int kReleaseAnswerSeconds = 10;

// Info message types raised by the server.
constexpr int16_t kInfoContextsRefused = 1;
constexpr int16_t kInfoUnsupportedCommand = 2;
constexpr int16_t kInfoAssociationAborted = 3;
constexpr int16_t kInfoRequestTimeout = 4;
constexpr int16_t kInfoIdleEnded = 5;

// Command field and data set type values of the command set.
constexpr Uint16 kCommandCStoreRq = 0x0001;
constexpr Uint16 kNoDataSet = 0x0101;

std::string Trimmed(const char* text) {
  std::string s = text;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string PeerAddress(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  char text[INET_ADDRSTRLEN] = "";
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET ||
      ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text) == nullptr)
    return "?";
  return text;
}

// An AE title the service can answer: no control bytes (NUL included) and
// no backslash. `raw` is what the request held.
bool IsValidAeTitle(const std::string& raw) {
  for (unsigned char c : raw)
    if (c < 0x20 || c == 0x7F || c == '\\') return false;
  return true;
}

// The AE titles as the A-ASSOCIATE-RQ `pdu` carried them (16 bytes each at
// offsets 10 and 26), NUL bytes included, without padding blanks.
bool RawAeTitles(const void* pdu, unsigned long length, std::string& called,
                 std::string& calling) {
  if (pdu == nullptr || length < 42) return false;
  const char* p = static_cast<const char*>(pdu);
  auto title = [](const char* field) {
    std::string s(field, 16);
    size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    s.erase(0, first);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  called = title(p + 10);
  calling = title(p + 26);
  return true;
}

// What the watchdog does to a connection whose deadline has passed.
enum class Expiry { kClose, kAbort };

}  // namespace

struct Server::Impl {
  explicit Impl(ServerEvents& e, int max) : events(e), max_associations(max) {
    watchdog = std::thread([this] { WatchdogLoop(); });
  }

  class IntakeLayer;
  struct Listener {
    T_ASC_Network* network = nullptr;
    bool secure = false;    // DICOM over TLS
    IntakeLayer* layer = nullptr;  // owned by the network
    bool stop = false;      // guarded by mu
    bool acceptor = false;  // an intake thread waits for connections
    int negotiating = 0;    // connections reading their request
    int threads = 0;        // intake threads not yet past negotiation
  };

  // One connection on its intake thread. Its socket is acted on by the
  // watchdog only while `open` (guarded by watch_mu): the connection closes
  // it only after clearing the flag, so a reused descriptor is never hit.
  struct Slot {
    Listener* listener = nullptr;
    bool accepted = false;  // intake thread only
    int fd = -1;
    std::string address;
    bool open = false;
    bool negotiating = false;
    Clock::time_point deadline = Clock::time_point::max();
    Expiry expiry = Expiry::kClose;
    bool fired = false;
    // The AE titles as the request carried them.
    bool raw = false;
    std::string raw_called;
    std::string raw_calling;
    // A TLS connection (set under watch_mu, which the watchdog reads it
    // under): its session once the handshake is done ("" before), or why
    // the handshake failed.
    bool tls = false;
    std::string security;
    std::string tls_error;
  };

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
    void SetTls(std::shared_ptr<DcmTLSTransportLayer> tls) {
      std::lock_guard<std::mutex> lock(mu_);
      tls_ = std::move(tls);
    }

   private:
    std::shared_ptr<DcmTLSTransportLayer> Tls() {
      std::lock_guard<std::mutex> lock(mu_);
      return tls_;
    }
    Impl& impl_;
    std::mutex mu_;
    std::shared_ptr<DcmTLSTransportLayer> tls_;
  };

  // A connection that closes leaves the watchdog's sight; once only.
  void ForgetSlot(Slot*& slot) {
    if (slot == nullptr) return;
    std::lock_guard<std::mutex> lock(watch_mu);
    slot->open = false;
    slot = nullptr;
  }

  class IntakeConnection : public DcmTCPConnection {
   public:
    IntakeConnection(Impl& impl, Slot* slot, DcmNativeSocketType sock)
        : DcmTCPConnection(sock), impl_(impl), slot_(slot) {}
    ~IntakeConnection() override { Forget(); }
    void close() override {
      Forget();
      DcmTCPConnection::close();
    }

   private:
    void Forget() { impl_.ForgetSlot(slot_); }
    Impl& impl_;
    Slot* slot_;
  };

  // The TLS counterpart. The handshake runs when the toolkit asks for it,
  // on the intake thread that accepted the connection, after another one
  // has taken over the waiting; the watchdog bounds it like the request.
  class IntakeTlsConnection : public DcmTLSConnection {
   public:
    IntakeTlsConnection(Impl& impl, Slot* slot, DcmNativeSocketType sock,
                        SSL* ssl, std::shared_ptr<DcmTLSTransportLayer> context)
        : DcmTLSConnection(sock, ssl),
          impl_(impl),
          slot_(slot),
          ssl_(ssl),
          context_(std::move(context)) {}
    ~IntakeTlsConnection() override { Forget(); }
    OFCondition serverSideHandshake() override {
      OFCondition cond = DcmTLSConnection::serverSideHandshake();
      if (slot_ != nullptr) {
        if (cond.good()) {
          slot_->security = DescribeTlsSession(ssl_);
        } else {
          slot_->tls_error = cond.text();
          const long verify = SSL_get_verify_result(ssl_);
          if (verify != X509_V_OK)
            slot_->tls_error += std::string(" (") +
                                X509_verify_cert_error_string(verify) + ")";
        }
      }
      return cond;
    }
    void close() override {
      Forget();
      DcmTLSConnection::close();
    }

   private:
    void Forget() { impl_.ForgetSlot(slot_); }
    Impl& impl_;
    Slot* slot_;
    SSL* ssl_;
    // The context stays while a connection made from it lives.
    std::shared_ptr<DcmTLSTransportLayer> context_;
  };

  ServerEvents& events;
  const int max_associations;
  std::atomic<bool> stopping{false};
  std::atomic<int32_t> next_number{1};
  std::atomic<int> association_timeout{kAcseTimeout};
  std::atomic<int> idle_timeout{120};

  std::mutex mu;
  std::condition_variable changed;
  int active = 0;   // established associations
  int threads = 0;  // intake threads alive
  std::map<int, std::unique_ptr<Listener>> listeners;

  std::mutex watch_mu;
  std::condition_variable watch_changed;
  std::set<Slot*> slots;
  bool watch_stop = false;
  std::thread watchdog;

  static thread_local Slot* current_slot;

  // REQUIRES: mu held. A TLS listener when `tls` is not null.
  bool OpenListener(int port, std::shared_ptr<DcmTLSTransportLayer> tls);
  // REQUIRES: mu held.
  void MaybeStartAcceptor(Listener& l);
  void IntakeThread(Listener& l);
  void Accepted(Slot& slot, int fd, bool tls);
  void WatchdogLoop();
  void SetDeadline(Slot& slot, Clock::time_point deadline, Expiry expiry);
  // Clears the deadline; true when the watchdog had acted on it.
  bool ClearDeadline(Slot& slot);
  void Admit(T_ASC_Association* assoc, Slot& slot);
  void RunAssociation(T_ASC_Association* assoc, const Connection& conn,
                      Slot& slot);
  void EndIdle(T_ASC_Association* assoc, const Connection& conn, Slot& slot,
               int idle_seconds);
  // Returns false when the association ended.
  bool HandleCommand(T_ASC_Association* assoc, const Connection& conn,
                     T_ASC_PresentationContextID pres_id, T_DIMSE_Message& msg);
  // A command whose set was received but could not be parsed; false when
  // the association ended.
  bool HandleUnparsedCommand(T_ASC_Association* assoc, const Connection& conn,
                             T_ASC_PresentationContextID pres_id,
                             DcmDataset& command, const OFCondition& why);
  void HandleEcho(T_ASC_Association* assoc, T_ASC_PresentationContextID id,
                  const T_DIMSE_C_EchoRQ& rq);
  void HandleQuery(T_ASC_Association* assoc, const Connection& conn,
                   T_ASC_PresentationContextID id, const T_DIMSE_Message& msg,
                   DcmDataset* identifier);
  void HandleStore(T_ASC_Association* assoc, const Connection& conn,
                   T_ASC_PresentationContextID id, const T_DIMSE_C_StoreRQ& rq,
                   std::unique_ptr<DcmDataset> data);
  void HandleEventReport(T_ASC_Association* assoc, const Connection& conn,
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
    Info(kInfoAssociationAborted, "Association " + std::to_string(conn.number) +
                                      " from " +
                                      Trimmed(conn.calling_aet.c_str()) +
                                      " ended without release: " + why);
  }
};

thread_local Server::Impl::Slot* Server::Impl::current_slot = nullptr;

DcmTransportConnection* Server::Impl::IntakeLayer::createConnection(
    DcmNativeSocketType sock, OFBool secure) {
  Slot* slot = current_slot;
  if (slot == nullptr) return DcmTransportLayer::createConnection(sock, secure);
  impl_.Accepted(*slot, sock, secure);
  if (!secure) return new IntakeConnection(impl_, slot, sock);
  std::shared_ptr<DcmTLSTransportLayer> tls = Tls();
  SSL* ssl = tls ? SSL_new(tls->getNativeHandle()) : nullptr;
  if (ssl == nullptr || SSL_set_fd(ssl, sock) != 1) {
    if (ssl != nullptr) SSL_free(ssl);
    // The toolkit closes the socket: the watchdog must not touch it.
    std::lock_guard<std::mutex> lock(impl_.watch_mu);
    slot->open = false;
    slot->tls_error = "no TLS context for the connection";
    return nullptr;
  }
  return new IntakeTlsConnection(impl_, slot, sock, ssl, std::move(tls));
}

Server::Server(ServerEvents& events, int max_associations)
    : impl_(std::make_unique<Impl>(
          events, max_associations < 16 ? 16 : max_associations)) {}

Server::~Server() {
  std::vector<int> ports;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (auto& [port, l] : impl_->listeners) ports.push_back(port);
  }
  for (int port : ports) StopListening(port);
  impl_->stopping = true;
  {
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->changed.wait(lock, [this] { return impl_->threads == 0; });
  }
  {
    std::lock_guard<std::mutex> lock(impl_->watch_mu);
    impl_->watch_stop = true;
  }
  impl_->watch_changed.notify_all();
  impl_->watchdog.join();
}

void Server::SetTimeouts(int association_seconds, int idle_seconds) {
  impl_->association_timeout = std::clamp(association_seconds, 1, kAcseTimeout);
  impl_->idle_timeout = idle_seconds < 0 ? 0 : idle_seconds;
}

bool Server::Listen(int port) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->listeners.count(port) != 0) return true;
  return impl_->OpenListener(port, nullptr);
}

bool Server::ListenTls(int port, const TlsFiles& files, std::string& error) {
  std::shared_ptr<DcmTLSTransportLayer> tls =
      MakeTlsLayer(NET_ACCEPTOR, files, error);
  if (!tls) return false;
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->listeners.find(port);
  if (it != impl_->listeners.end()) {
    if (!it->second->secure) {
      error = "port " + std::to_string(port) + " serves plain DICOM";
      return false;
    }
    it->second->layer->SetTls(std::move(tls));
    return true;
  }
  if (!impl_->OpenListener(port, std::move(tls))) {
    error = "cannot listen on port " + std::to_string(port);
    return false;
  }
  return true;
}

bool Server::Impl::OpenListener(int port,
                                std::shared_ptr<DcmTLSTransportLayer> tls) {
  const bool secure = tls != nullptr;
  T_ASC_Network* net = nullptr;
  OFCondition cond =
      ASC_initializeNetwork(NET_ACCEPTOR, port, kAcseTimeout, &net);
  if (cond.bad()) {
    if (net != nullptr) ASC_dropNetwork(&net);
    return false;
  }
  auto* layer = new Impl::IntakeLayer(*this, std::move(tls));
  if (ASC_setTransportLayer(net, layer, 1).bad()) {
    delete layer;
    ASC_dropNetwork(&net);
    return false;
  }
  auto l = std::make_unique<Impl::Listener>();
  l->network = net;
  l->secure = secure;
  l->layer = layer;
  MaybeStartAcceptor(*l);
  listeners[port] = std::move(l);
  return true;
}

void Server::StopListening(int port) {
  std::unique_ptr<Impl::Listener> l;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->listeners.find(port);
    if (it == impl_->listeners.end()) return;
    l = std::move(it->second);
    impl_->listeners.erase(it);
    l->stop = true;
  }
  // Requests still being read are cut short.
  {
    std::lock_guard<std::mutex> lock(impl_->watch_mu);
    for (Impl::Slot* s : impl_->slots)
      if (s->listener == l.get() && s->negotiating) s->deadline = Clock::now();
  }
  impl_->watch_changed.notify_all();
  {
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->changed.wait(lock, [&] { return l->threads == 0; });
  }
  // No intake thread uses the network any more; running associations do
  // not need it.
  ASC_dropNetwork(&l->network);
}

void Server::Impl::MaybeStartAcceptor(Listener& l) {
  if (l.acceptor || l.stop || l.negotiating >= kMaxNegotiating) return;
  l.acceptor = true;
  ++l.threads;
  ++threads;
  std::thread([this, &l] { IntakeThread(l); }).detach();
}

void Server::Impl::Accepted(Slot& slot, int fd, bool tls) {
  slot.accepted = true;
  slot.fd = fd;
  slot.address = PeerAddress(fd);
  slot.security.clear();
  slot.tls_error.clear();
  {
    std::lock_guard<std::mutex> lock(watch_mu);
    slot.tls = tls;
    slot.open = true;
    slot.negotiating = true;
    slot.fired = false;
    slot.expiry = Expiry::kClose;
    slot.deadline = Clock::now() + std::chrono::seconds(association_timeout);
  }
  watch_changed.notify_all();
  bool stop;
  {
    std::lock_guard<std::mutex> lock(mu);
    Listener& l = *slot.listener;
    l.acceptor = false;
    ++l.negotiating;
    stop = l.stop;
    MaybeStartAcceptor(l);
  }
  if (stop) SetDeadline(slot, Clock::now(), Expiry::kClose);
}

void Server::Impl::SetDeadline(Slot& slot, Clock::time_point deadline,
                               Expiry expiry) {
  {
    std::lock_guard<std::mutex> lock(watch_mu);
    slot.deadline = deadline;
    slot.expiry = expiry;
    slot.fired = false;
  }
  watch_changed.notify_all();
}

bool Server::Impl::ClearDeadline(Slot& slot) {
  std::lock_guard<std::mutex> lock(watch_mu);
  slot.deadline = Clock::time_point::max();
  slot.negotiating = false;
  return slot.fired;
}

void Server::Impl::WatchdogLoop() {
  std::unique_lock<std::mutex> lock(watch_mu);
  while (!watch_stop) {
    Clock::time_point now = Clock::now();
    Clock::time_point next = now + std::chrono::seconds(kPollSeconds);
    for (Slot* s : slots) {
      if (!s->open || s->fired || s->deadline == Clock::time_point::max())
        continue;
      if (s->deadline > now) {
        next = std::min(next, s->deadline);
        continue;
      }
      s->fired = true;
      // On a TLS connection the PDU would have to be encrypted: it is
      // only closed.
      if (s->expiry == Expiry::kAbort && !s->tls) {
        // A-ABORT, service-user source, no reason.
        const unsigned char abort_pdu[10] = {0x07, 0, 0, 0, 0, 4, 0, 0, 0, 0};
        (void)!::send(s->fd, abort_pdu, sizeof abort_pdu,
                      MSG_DONTWAIT | MSG_NOSIGNAL);
      }
      // The thread reading from it sees the connection closed.
      ::shutdown(s->fd, SHUT_RDWR);
    }
    watch_changed.wait_until(lock, next);
  }
}

void Server::Impl::IntakeThread(Listener& l) {
  Slot slot;
  slot.listener = &l;
  current_slot = &slot;
  {
    std::lock_guard<std::mutex> lock(watch_mu);
    slots.insert(&slot);
  }
  T_ASC_Association* assoc = nullptr;
  OFCondition cond = EC_Normal;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (l.stop) {
        l.acceptor = false;
        break;
      }
    }
    assoc = nullptr;
    void* pdu = nullptr;
    unsigned long pdu_length = 0;
    cond =
        ASC_receiveAssociation(l.network, &assoc, kReceivePdu, &pdu,
                               &pdu_length, l.secure ? OFTrue : OFFalse,
                               DUL_NOBLOCK, kPollSeconds);
    if (pdu != nullptr) {
      slot.raw =
          RawAeTitles(pdu, pdu_length, slot.raw_called, slot.raw_calling);
      delete[] static_cast<char*>(pdu);
    }
    if (slot.accepted) break;
    // No connection came (or it failed before it was accepted).
    if (assoc != nullptr) ASC_destroyAssociation(&assoc);
  }
  if (slot.accepted) {
    bool timed_out = ClearDeadline(slot);
    bool listener_stopped;
    {
      std::lock_guard<std::mutex> lock(mu);
      listener_stopped = l.stop;
      --l.negotiating;
      MaybeStartAcceptor(l);
      // From here on the listener may be gone.
      --l.threads;
    }
    changed.notify_all();
    if (cond.good()) {
      Admit(assoc, slot);
    } else {
      if (slot.tls && slot.security.empty() && !stopping &&
          !listener_stopped) {
        ErrorLogWrite(0,
                      "TLS handshake with " + slot.address + " failed: " +
                          (timed_out ? "no handshake within " +
                                           std::to_string(association_timeout) +
                                           " s"
                           : slot.tls_error.empty() ? std::string(cond.text())
                                                    : slot.tls_error),
                      "DCMServer");
      }
      if (slot.raw && !slot.tls && !timed_out && slot.open &&
          cond != DUL_UNSUPPORTEDPEERPROTOCOL) {
        // The request arrived whole but the toolkit refused it: it gets a
        // rejection rather than a closed connection.
        const bool bad_calling = !IsValidAeTitle(slot.raw_calling);
        ErrorLogWrite(0,
                      "Association from " + slot.address +
                          " rejected: request not understood (calling '" +
                          slot.raw_calling + "', called '" + slot.raw_called +
                          "'): " + cond.text(),
                      "DCMServer");
        // A-ASSOCIATE-RJ: permanent, service-user, calling AE title not
        // recognized or no reason given.
        const unsigned char reject_pdu[10] = {
            0x03, 0,
            0,    0,
            0,    4,
            0,    0x01,
            0x01, static_cast<unsigned char>(bad_calling ? 0x03 : 0x01)};
        (void)!::send(slot.fd, reject_pdu, sizeof reject_pdu, MSG_NOSIGNAL);
      }
      if (timed_out && !stopping && !listener_stopped) {
        Info(kInfoRequestTimeout,
             "Connection from " + slot.address +
                 " closed: no complete association request within " +
                 std::to_string(association_timeout) + " s");
      }
      if (assoc != nullptr) {
        ASC_dropSCPAssociation(assoc);
        ASC_destroyAssociation(&assoc);
      }
    }
  } else {
    std::lock_guard<std::mutex> lock(mu);
    --l.threads;
  }
  {
    std::lock_guard<std::mutex> lock(watch_mu);
    slots.erase(&slot);
  }
  current_slot = nullptr;
  std::lock_guard<std::mutex> lock(mu);
  --threads;
  changed.notify_all();
}

void Server::Impl::Admit(T_ASC_Association* assoc, Slot& slot) {
  Connection conn;
  DIC_AE calling, called;
  ASC_getAPTitles(assoc->params, calling, sizeof calling, called, sizeof called,
                  nullptr, 0);
  const std::string raw_calling = slot.raw ? slot.raw_calling : calling;
  const std::string raw_called = slot.raw ? slot.raw_called : called;
  if (!IsValidAeTitle(raw_calling) || !IsValidAeTitle(raw_called)) {
    ErrorLogWrite(0,
                  "Association from " + slot.address +
                      " rejected: AE title not valid (calling '" + raw_calling +
                      "', called '" + raw_called + "')",
                  "DCMServer");
    T_ASC_RejectParameters rej = {
        ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
        IsValidAeTitle(raw_calling)
            ? ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED
            : ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED};
    ASC_rejectAssociation(assoc, &rej);
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    if (active >= max_associations || stopping) {
      T_ASC_RejectParameters rej = {
          ASC_RESULT_REJECTEDTRANSIENT,
          ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
          ASC_REASON_SP_PRES_TEMPORARYCONGESTION};
      ASC_rejectAssociation(assoc, &rej);
      ASC_dropSCPAssociation(assoc);
      ASC_destroyAssociation(&assoc);
      return;
    }
    ++active;
  }
  conn.calling_aet = calling;
  conn.called_aet = called;
  conn.remote_ip = assoc->params->DULparams.callingPresentationAddress;
  // The address may carry the peer's port after a colon.
  if (auto colon = conn.remote_ip.rfind(':');
      colon != std::string::npos && conn.remote_ip.find(':') == colon) {
    conn.remote_ip.erase(colon);
  }
  conn.security = slot.security;
  conn.number = next_number++;
  RunAssociation(assoc, conn, slot);
  std::lock_guard<std::mutex> lock(mu);
  --active;
}

void Server::Impl::RunAssociation(T_ASC_Association* assoc,
                                  const Connection& conn, Slot& slot) {
  int refused = AcceptPresentationContexts(assoc->params);
  bool is_ok = true;
  GuardVoid("DCMServer", [&] { events.AssociationRequest2(conn, is_ok); });
  if (!is_ok) {
    T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDPERMANENT,
                                  ASC_SOURCE_SERVICEUSER,
                                  ASC_REASON_SU_NOREASON};
    ASC_rejectAssociation(assoc, &rej);
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    return;
  }
  if (ASC_acknowledgeAssociation(assoc).bad()) {
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    return;
  }
  if (refused > 0) {
    Info(kInfoContextsRefused,
         "Association " + std::to_string(conn.number) + " from " +
             Trimmed(conn.calling_aet.c_str()) + ": " +
             std::to_string(refused) + " presentation context(s) refused");
  }
  Clock::time_point last_message = Clock::now();
  bool alive = true;
  while (alive) {
    if (stopping) {
      ASC_abortAssociation(assoc);
      break;
    }
    T_ASC_PresentationContextID pres_id = 0;
    T_DIMSE_Message msg;
    std::memset(&msg, 0, sizeof msg);
    DcmDataset* raw_command = nullptr;
    OFCondition cond =
        DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, kPollSeconds, &pres_id,
                             &msg, nullptr, &raw_command);
    std::unique_ptr<DcmDataset> command(raw_command);
    if (cond == DIMSE_NODATAAVAILABLE) {
      const int idle = idle_timeout;
      if (idle > 0 &&
          Clock::now() - last_message >= std::chrono::seconds(idle)) {
        EndIdle(assoc, conn, slot, idle);
        break;
      }
      continue;
    }
    if (cond == DUL_PEERREQUESTEDRELEASE) {
      ASC_acknowledgeRelease(assoc);
      break;
    }
    if (cond.bad()) {
      if (command) {
        // The whole command set arrived; its content did not parse.
        alive = HandleUnparsedCommand(assoc, conn, pres_id, *command, cond);
        last_message = Clock::now();
        continue;
      }
      // A dropped connection and a peer's A-ABORT both end the association
      // without its release.
      Ended(conn, cond.text());
      ASC_abortAssociation(assoc);
      break;
    }
    alive = HandleCommand(assoc, conn, pres_id, msg);
    // Only the time between commands counts as idle.
    last_message = Clock::now();
  }
  ASC_dropSCPAssociation(assoc);
  ASC_destroyAssociation(&assoc);
}

void Server::Impl::EndIdle(T_ASC_Association* assoc, const Connection& conn,
                           Slot& slot, int idle_seconds) {
  const std::string who = "Association " + std::to_string(conn.number) +
                          " from " + Trimmed(conn.calling_aet.c_str());
  // The watchdog aborts the association when the answer does not come.
  SetDeadline(slot, Clock::now() + std::chrono::seconds(kReleaseAnswerSeconds),
              Expiry::kAbort);
  OFCondition cond = ASC_releaseAssociation(assoc);
  bool aborted = ClearDeadline(slot);
  if (aborted) {
    Info(kInfoIdleEnded, who + " aborted: no answer to its release after " +
                             std::to_string(idle_seconds) +
                             " s without a message");
  } else if (cond.good()) {
    Info(kInfoIdleEnded, who + " released after " +
                             std::to_string(idle_seconds) +
                             " s without a message");
  } else {
    Info(kInfoIdleEnded, who + " ended at its release after " +
                             std::to_string(idle_seconds) +
                             " s without a message: " + cond.text());
    ASC_abortAssociation(assoc);
  }
}

namespace {

// The C-STORE response; the instance UID is left out when it cannot be
// copied as it came.
OFCondition SendStoreResponse(T_ASC_Association* assoc,
                              T_ASC_PresentationContextID id, DIC_US message_id,
                              const std::string& sop_class,
                              const std::string& sop_instance, bool padded,
                              uint16_t status) {
  T_DIMSE_Message rsp;
  std::memset(&rsp, 0, sizeof rsp);
  rsp.CommandField = DIMSE_C_STORE_RSP;
  T_DIMSE_C_StoreRSP& r = rsp.msg.CStoreRSP;
  r.MessageIDBeingRespondedTo = message_id;
  r.DimseStatus = status;
  r.DataSetType = DIMSE_DATASET_NULL;
  r.opts = 0;
  if (!sop_class.empty() && sop_class.size() < sizeof r.AffectedSOPClassUID) {
    OFStandard::strlcpy(r.AffectedSOPClassUID, sop_class.c_str(),
                        sizeof r.AffectedSOPClassUID);
    r.opts |= O_STORE_AFFECTEDSOPCLASSUID;
  }
  if (!sop_instance.empty() &&
      sop_instance.size() < sizeof r.AffectedSOPInstanceUID) {
    OFStandard::strlcpy(r.AffectedSOPInstanceUID, sop_instance.c_str(),
                        sizeof r.AffectedSOPInstanceUID);
    r.opts |= O_STORE_AFFECTEDSOPINSTANCEUID;
  }
  if (padded) r.opts |= O_STORE_PEER_REQUIRES_EXACT_UID_COPY;
  return DIMSE_sendMessageUsingMemoryData(assoc, id, &rsp, nullptr, nullptr,
                                          nullptr, nullptr);
}

std::string StatusText(uint16_t status) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", status);
  return text;
}

std::string AcceptedSyntax(T_ASC_Association* assoc,
                           T_ASC_PresentationContextID id) {
  T_ASC_PresentationContext pc;
  if (ASC_findAcceptedPresentationContext(assoc->params, id, &pc).bad())
    return UID_LittleEndianImplicitTransferSyntax;
  return pc.acceptedTransferSyntax;
}

}  // namespace

bool Server::Impl::HandleCommand(T_ASC_Association* assoc,
                                 const Connection& conn,
                                 T_ASC_PresentationContextID pres_id,
                                 T_DIMSE_Message& msg) {
  std::unique_ptr<DcmDataset> data;
  std::string why;
  // Receives the announced dataset; false when the association ended.
  auto receive = [&](const char* what) {
    DataResult result = ReceiveDataset(assoc, kDataTimeout, data, why);
    if (result == DataResult::kReceived) return true;
    if (result == DataResult::kUnparsable) {
      ErrorLogWrite(0,
                    std::string(what) + " on association " +
                        std::to_string(conn.number) + " from " +
                        Trimmed(conn.calling_aet.c_str()) + ": " + why +
                        "; association aborted",
                    "DCMServer");
    }
    Ended(conn, why);
    ASC_abortAssociation(assoc);
    return false;
  };
  switch (msg.CommandField) {
    case DIMSE_C_ECHO_RQ:
      HandleEcho(assoc, pres_id, msg.msg.CEchoRQ);
      return true;
    case DIMSE_C_FIND_RQ:
    case DIMSE_C_GET_RQ:
    case DIMSE_C_MOVE_RQ: {
      if (!receive("Query")) return false;
      HandleQuery(assoc, conn, pres_id, msg, data.get());
      return true;
    }
    case DIMSE_C_STORE_RQ: {
      const T_DIMSE_C_StoreRQ& rq = msg.msg.CStoreRQ;
      DataResult result = ReceiveDataset(assoc, kDataTimeout, data, why);
      if (result == DataResult::kLost) {
        ErrorLogWrite(0,
                      "C-STORE of " + std::string(rq.AffectedSOPInstanceUID) +
                          " on association " + std::to_string(conn.number) +
                          " from " + Trimmed(conn.calling_aet.c_str()) + ": " +
                          why,
                      "DCMServer");
        Ended(conn, why);
        ASC_abortAssociation(assoc);
        return false;
      }
      if (result == DataResult::kUnparsable) {
        // The whole dataset arrived: the refusal goes back on the open
        // association.
        ErrorLogWrite(0,
                      "C-STORE of " + std::string(rq.AffectedSOPInstanceUID) +
                          " from " + Trimmed(conn.calling_aet.c_str()) +
                          " refused: " + why,
                      "DCMServer");
        OFCondition sent = SendStoreResponse(
            assoc, pres_id, rq.MessageID, rq.AffectedSOPClassUID,
            rq.AffectedSOPInstanceUID, rq.opts & O_STORE_RQ_BLANK_PADDING,
            kStatusUnableToProcess);
        Action(conn, "C-STORE", false,
               "Status " + StatusText(kStatusUnableToProcess));
        return sent.good();
      }
      HandleStore(assoc, conn, pres_id, rq, std::move(data));
      return true;
    }
    case DIMSE_N_EVENT_REPORT_RQ:
      if (msg.msg.NEventReportRQ.DataSetType != DIMSE_DATASET_NULL &&
          !receive("Event report"))
        return false;
      HandleEventReport(assoc, conn, pres_id, msg.msg.NEventReportRQ,
                        std::move(data));
      return true;
    case DIMSE_C_CANCEL_RQ:
      // A cancel for a request that has already been answered.
      return true;
    case DIMSE_N_ACTION_RQ:
      if (Guard("DCMServer", false,
                [&] { return events.CommitmentEnabled(); })) {
        if (msg.msg.NActionRQ.DataSetType != DIMSE_DATASET_NULL &&
            !receive("Storage commitment request"))
          return false;
        return ServeCommitment(assoc, conn, pres_id, msg.msg.NActionRQ,
                               data.get(), events, stopping);
      }
      [[fallthrough]];
    default:
      Info(kInfoUnsupportedCommand,
           "Association " + std::to_string(conn.number) +
               ": unsupported command " + std::to_string(msg.CommandField));
      ASC_abortAssociation(assoc);
      return false;
  }
}

bool Server::Impl::HandleUnparsedCommand(T_ASC_Association* assoc,
                                         const Connection& conn,
                                         T_ASC_PresentationContextID pres_id,
                                         DcmDataset& command,
                                         const OFCondition& why) {
  Uint16 field = 0, message_id = 0, data_type = kNoDataSet;
  command.findAndGetUint16(DCM_CommandField, field);
  command.findAndGetUint16(DCM_MessageID, message_id);
  command.findAndGetUint16(DCM_CommandDataSetType, data_type);
  OFString sop_class, sop_instance;
  command.findAndGetOFStringArray(DCM_AffectedSOPClassUID, sop_class);
  command.findAndGetOFStringArray(DCM_AffectedSOPInstanceUID, sop_instance);
  T_ASC_PresentationContext pc;
  if (field != kCommandCStoreRq ||
      ASC_findAcceptedPresentationContext(assoc->params, pres_id, &pc).bad()) {
    Ended(conn, std::string("command not understood: ") + why.text());
    ASC_abortAssociation(assoc);
    return false;
  }
  // A C-STORE whose command does not parse (a UID that is not valid, for
  // one) is refused like an image with such a UID: C000 on the open
  // association, after its dataset has been read and dropped.
  std::unique_ptr<DcmDataset> data;
  std::string data_why;
  if (data_type != kNoDataSet &&
      ReceiveDataset(assoc, kDataTimeout, data, data_why) ==
          DataResult::kLost) {
    Ended(conn, data_why);
    ASC_abortAssociation(assoc);
    return false;
  }
  ErrorLogWrite(0,
                "C-STORE from " + Trimmed(conn.calling_aet.c_str()) +
                    " refused: command not understood (" + why.text() +
                    "), SOP Instance UID '" +
                    std::string(sop_instance.c_str()) + "'",
                "DCMServer");
  std::string instance = sop_instance.c_str();
  std::string klass = sop_class.c_str();
  while (!instance.empty() &&
         (instance.back() == ' ' || instance.back() == '\0'))
    instance.pop_back();
  while (!klass.empty() && (klass.back() == ' ' || klass.back() == '\0'))
    klass.pop_back();
  OFCondition sent = SendStoreResponse(assoc, pres_id, message_id, klass,
                                       instance, false, kStatusUnableToProcess);
  Action(conn, "C-STORE", false,
         "Status " + StatusText(kStatusUnableToProcess));
  if (sent.bad()) {
    Ended(conn, sent.text());
    ASC_abortAssociation(assoc);
    return false;
  }
  return true;
}

void Server::Impl::HandleEcho(T_ASC_Association* assoc,
                              T_ASC_PresentationContextID id,
                              const T_DIMSE_C_EchoRQ& rq) {
  int32_t status = 0;
  GuardVoid("DCMServer", [&] { events.VerifyReceived(status); });
  DIMSE_sendEchoResponse(assoc, id, &rq, static_cast<DIC_US>(status), nullptr);
}

void Server::Impl::HandleQuery(T_ASC_Association* assoc, const Connection& conn,
                               T_ASC_PresentationContextID id,
                               const T_DIMSE_Message& msg,
                               DcmDataset* identifier) {
  std::string charset = DecodeToUtf8(*identifier);
  DcmQueryRequest request(assoc, id, msg, conn, FromDcmDataset(*identifier),
                          charset);
  GuardVoid("DCMServer", [&] { events.QueryRequest(request); });
  request.EnsureFinal();
  if (request.sent_files()) {
    Action(conn, "C-GET", request.sub_operations().failed == 0,
           request.sub_operation_error());
  }
}

void Server::Impl::HandleStore(T_ASC_Association* assoc, const Connection& conn,
                               T_ASC_PresentationContextID id,
                               const T_DIMSE_C_StoreRQ& rq,
                               std::unique_ptr<DcmDataset> data) {
  DecodeToUtf8(*data);
  DcmReceivedImage image(std::move(data), AcceptedSyntax(assoc, id));
  uint16_t status = kStatusOutOfResources;
  GuardVoid("DCMServer",
            [&] { status = events.ImageReceivedAsync(conn, image); });
  T_DIMSE_Message rsp;
  std::memset(&rsp, 0, sizeof rsp);
  rsp.CommandField = DIMSE_C_STORE_RSP;
  T_DIMSE_C_StoreRSP& r = rsp.msg.CStoreRSP;
  r.MessageIDBeingRespondedTo = rq.MessageID;
  OFStandard::strlcpy(r.AffectedSOPClassUID, rq.AffectedSOPClassUID,
                      sizeof r.AffectedSOPClassUID);
  OFStandard::strlcpy(r.AffectedSOPInstanceUID, rq.AffectedSOPInstanceUID,
                      sizeof r.AffectedSOPInstanceUID);
  r.DimseStatus = status;
  r.DataSetType = DIMSE_DATASET_NULL;
  r.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
  if (rq.opts & O_STORE_RQ_BLANK_PADDING)
    r.opts |= O_STORE_PEER_REQUIRES_EXACT_UID_COPY;
  OFCondition cond = DIMSE_sendMessageUsingMemoryData(
      assoc, id, &rsp, nullptr, nullptr, nullptr, nullptr);
  char text[8];
  std::snprintf(text, sizeof text, "%04X", status);
  Action(conn, "C-STORE", status == kStatusSuccess && cond.good(),
         status == kStatusSuccess ? std::string(cond.good() ? "" : cond.text())
                                  : std::string("Status ") + text);
}

void Server::Impl::HandleEventReport(T_ASC_Association* assoc,
                                     const Connection& conn,
                                     T_ASC_PresentationContextID id,
                                     const T_DIMSE_N_EventReportRQ& rq,
                                     std::unique_ptr<DcmDataset> data) {
  Dataset dataset;
  if (data) {
    DecodeToUtf8(*data);
    dataset = FromDcmDataset(*data);
  }
  uint16_t status = kStatusSuccess;
  GuardVoid("DCMServer",
            [&] { events.EventReport(conn, rq.EventTypeID, dataset, status); });
  T_DIMSE_Message rsp;
  std::memset(&rsp, 0, sizeof rsp);
  rsp.CommandField = DIMSE_N_EVENT_REPORT_RSP;
  T_DIMSE_N_EventReportRSP& r = rsp.msg.NEventReportRSP;
  r.MessageIDBeingRespondedTo = rq.MessageID;
  OFStandard::strlcpy(r.AffectedSOPClassUID, rq.AffectedSOPClassUID,
                      sizeof r.AffectedSOPClassUID);
  OFStandard::strlcpy(r.AffectedSOPInstanceUID, rq.AffectedSOPInstanceUID,
                      sizeof r.AffectedSOPInstanceUID);
  r.DimseStatus = status;
  r.DataSetType = DIMSE_DATASET_NULL;
  r.EventTypeID = rq.EventTypeID;
  r.opts = O_NEVENTREPORT_AFFECTEDSOPCLASSUID |
           O_NEVENTREPORT_AFFECTEDSOPINSTANCEUID | O_NEVENTREPORT_EVENTTYPEID;
  DIMSE_sendMessageUsingMemoryData(assoc, id, &rsp, nullptr, nullptr, nullptr,
                                   nullptr);
}

}  // namespace vantor::dicom
