// The server's intake: the transport layer that hands each accepted
// connection to its intake thread, the connections the watchdog can cut
// short (plain and TLS), the intake threads and their slots, and the
// watchdog that closes a connection whose deadline has passed.
#include <arpa/inet.h>
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmtls/tlstrans.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "dicom/toolkit/server_impl.h"
#include "dicom/toolkit/tls_context.h"
#include "host/base/log.h"

namespace vantor::dicom {

using namespace server_impl;

namespace {

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

}  // namespace

class Server::Impl::IntakeConnection : public DcmTCPConnection {
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
class Server::Impl::IntakeTlsConnection : public DcmTLSConnection {
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
    MutexLock lock(&impl_.watch_mu);
    impl_.Watched(*slot).open = false;
    slot->tls_error = "no TLS context for the connection";
    return nullptr;
  }
  return new IntakeTlsConnection(impl_, slot, sock, ssl, std::move(tls));
}

void Server::Impl::MaybeStartAcceptor(Listener& l) {
  Listener::State& state = Of(l);
  if (state.acceptor || state.stop || state.negotiating >= kMaxNegotiating)
    return;
  state.acceptor = true;
  ++state.threads;
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
    MutexLock lock(&watch_mu);
    Slot::Watch& watch = Watched(slot);
    watch.tls = tls;
    watch.open = true;
    watch.negotiating = true;
    watch.fired = false;
    watch.expiry = Expiry::kClose;
    watch.deadline = Clock::now() + std::chrono::seconds(association_timeout);
  }
  watch_changed.NotifyAll();
  bool stop;
  {
    MutexLock lock(&mu);
    Listener::State& state = Of(*slot.listener);
    state.acceptor = false;
    ++state.negotiating;
    stop = state.stop;
    MaybeStartAcceptor(*slot.listener);
  }
  if (stop) SetDeadline(slot, Clock::now(), Expiry::kClose);
}

void Server::Impl::SetDeadline(Slot& slot, Clock::time_point deadline,
                               Expiry expiry) {
  {
    MutexLock lock(&watch_mu);
    Slot::Watch& watch = Watched(slot);
    watch.deadline = deadline;
    watch.expiry = expiry;
    watch.fired = false;
  }
  watch_changed.NotifyAll();
}

bool Server::Impl::ClearDeadline(Slot& slot) {
  MutexLock lock(&watch_mu);
  Slot::Watch& watch = Watched(slot);
  watch.deadline = Clock::time_point::max();
  watch.negotiating = false;
  return watch.fired;
}

void Server::Impl::WatchdogLoop() {
  MutexLock lock(&watch_mu);
  while (!watch_stop) {
    Clock::time_point now = Clock::now();
    Clock::time_point next = now + std::chrono::seconds(kPollSeconds);
    for (Slot* s : slots) {
      Slot::Watch& watch = Watched(*s);
      if (!watch.open || watch.fired ||
          watch.deadline == Clock::time_point::max())
        continue;
      if (watch.deadline > now) {
        next = std::min(next, watch.deadline);
        continue;
      }
      watch.fired = true;
      // On a TLS connection the PDU would have to be encrypted: it is
      // only closed.
      if (watch.expiry == Expiry::kAbort && !watch.tls) {
        // A-ABORT, service-user source, no reason.
        const unsigned char abort_pdu[10] = {0x07, 0, 0, 0, 0, 4, 0, 0, 0, 0};
        (void)!::send(s->fd, abort_pdu, sizeof abort_pdu,
                      MSG_DONTWAIT | MSG_NOSIGNAL);
      }
      // The thread reading from it sees the connection closed.
      ::shutdown(s->fd, SHUT_RDWR);
    }
    watch_changed.WaitUntil(watch_mu, next);
  }
}

void Server::Impl::IntakeThread(Listener& l) {
  Slot slot;
  slot.listener = &l;
  current_slot = &slot;
  {
    MutexLock lock(&watch_mu);
    slots.insert(&slot);
  }
  T_ASC_Association* assoc = nullptr;
  OFCondition cond = AwaitConnection(l, slot, assoc);
  if (slot.accepted) {
    Negotiated(l, slot, assoc, cond);
  } else {
    MutexLock lock(&mu);
    --Of(l).threads;
  }
  {
    MutexLock lock(&watch_mu);
    slots.erase(&slot);
  }
  current_slot = nullptr;
  MutexLock lock(&mu);
  --threads;
  changed.NotifyAll();
}

OFCondition Server::Impl::AwaitConnection(Listener& l, Slot& slot,
                                          T_ASC_Association*& assoc) {
  OFCondition cond = EC_Normal;
  for (;;) {
    {
      MutexLock lock(&mu);
      if (Of(l).stop) {
        Of(l).acceptor = false;
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
  return cond;
}

void Server::Impl::Negotiated(Listener& l, Slot& slot,
                              T_ASC_Association* assoc,
                              const OFCondition& cond) {
  bool timed_out = ClearDeadline(slot);
  bool listener_stopped;
  {
    MutexLock lock(&mu);
    Listener::State& state = Of(l);
    listener_stopped = state.stop;
    --state.negotiating;
    MaybeStartAcceptor(l);
    // From here on the listener may be gone.
    --state.threads;
  }
  changed.NotifyAll();
  if (cond.good()) {
    Admit(assoc, slot);
  } else {
    RequestFailed(slot, assoc, cond, timed_out, listener_stopped);
  }
}

void Server::Impl::RequestFailed(Slot& slot, T_ASC_Association* assoc,
                                 const OFCondition& cond, bool timed_out,
                                 bool listener_stopped) {
  // Only this thread changes them once the slot is open.
  bool tls, open;
  {
    MutexLock lock(&watch_mu);
    tls = Watched(slot).tls;
    open = Watched(slot).open;
  }
  if (tls && slot.security.empty() && !stopping && !listener_stopped) {
    ErrorLogWrite(0,
                  "TLS handshake with " + slot.address + " failed: " +
                      (timed_out ? "no handshake within " +
                                       std::to_string(association_timeout) +
                                       " s"
                       : slot.tls_error.empty() ? std::string(cond.text())
                                                : slot.tls_error),
                  "DCMServer");
  }
  if (slot.raw && !tls && !timed_out && open &&
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

}  // namespace vantor::dicom
