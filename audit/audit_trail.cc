#include "audit/audit_trail.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/tls_settings.h"
#include "host/base/sigpipe_block.h"

namespace vantor::audit {
namespace {

constexpr const char* kProcedure = "AuditTrail";
// One UDP datagram: the most an IPv4 datagram carries, less room to spare.
constexpr size_t kMostUdpMessage = 65000;
// Over TLS nothing bounds a message; this keeps a runaway record in check.
constexpr size_t kMostTlsMessage = 1 << 20;
// The syslog header before the XML is well under this.
constexpr size_t kHeaderRoom = 600;
constexpr auto kConnectBound = std::chrono::seconds(2);
constexpr auto kLineInterval = std::chrono::minutes(1);

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "-";
  return name;
}

// The "Logs/Audit.log" fallback: one message per line after the time.
class FileTransport : public Transport {
 public:
  bool Send(const AuditRecord& record, const AuditSource& source,
            std::string& why) override {
    const std::string xml = AuditMessageXml(record, source);
    if (AppendLogFile("Audit.log", LogLine({xml}))) return true;
    why = "Logs/Audit.log cannot be written";
    return false;
  }
};

struct AddrInfoFree {
  void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};

// A socket of `type` connected to host:port; -1 with `why` on failure. A
// stream socket's connection is given kConnectBound.
int ConnectTo(const std::string& host, int port, int type, std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = type;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(),
                               &hints, &found);
  if (rc != 0) {
    why = "the collector " + host + " cannot be resolved: " + gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, AddrInfoFree> list(found);
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC,
                            a->ai_protocol);
    if (fd < 0) continue;
    if (type == SOCK_DGRAM) {
      if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
      ::close(fd);
      continue;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int done = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (done != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(
          &p, 1,
          static_cast<int>(
              std::chrono::milliseconds(kConnectBound).count()));
      int err = ready == 1 ? 0 : ETIMEDOUT;
      socklen_t len = sizeof err;
      if (ready == 1) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      done = err == 0 ? 0 : -1;
      errno = err;
    }
    if (done == 0) {
      ::fcntl(fd, F_SETFL, flags);
      timeval t{5, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
      return fd;
    }
    why = "the collector " + host + ":" + std::to_string(port) +
          " cannot be reached: " + std::strerror(errno);
    ::close(fd);
  }
  if (why.empty())
    why = "the collector " + host + ":" + std::to_string(port) +
          " cannot be reached";
  return -1;
}

// One datagram per message.
class UdpTransport : public Transport {
 public:
  UdpTransport(std::string host, int port)
      : host_(std::move(host)), port_(port) {}
  ~UdpTransport() override {
    if (fd_ >= 0) ::close(fd_);
  }

  bool Send(const AuditRecord& record, const AuditSource& source,
            std::string& why) override {
    if (fd_ < 0) fd_ = ConnectTo(host_, port_, SOCK_DGRAM, why);
    if (fd_ < 0) return false;
    const std::string message = SyslogMessage(
        SyslogSeverity(record), record.time, source.host, source.process_id,
        AuditMessageXmlWithin(record, source, kMostUdpMessage - kHeaderRoom));
    if (::send(fd_, message.data(), message.size(), MSG_NOSIGNAL) >= 0)
      return true;
    // A collector not (yet) listening answers with an ICMP error, which
    // shows on a later send: that datagram is as lost as a datagram is.
    if (errno == ECONNREFUSED &&
        ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL) >= 0)
      return true;
    why = std::string("the audit datagram was not sent: ") +
          std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return false;
  }

 private:
  const std::string host_;
  const int port_;
  int fd_ = -1;
};

bool IsAddress(const std::string& host) {
  in6_addr buffer;
  return ::inet_pton(AF_INET, host.c_str(), &buffer) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), &buffer) == 1;
}

std::string OpenSslError() {
  const unsigned long e = ::ERR_get_error();
  ::ERR_clear_error();
  if (e == 0) return "unknown TLS failure";
  char text[256];
  ::ERR_error_string_n(e, text, sizeof text);
  return text;
}

// Octet-counted messages on one TLS connection, made again when it fails.
// The collector's certificate must verify against TLSCACertificates (the
// system's when empty) and name the collector's host; TLSCertificate and
// TLSPrivateKey, when set, are the client certificate.
class TlsTransport : public Transport {
 public:
  TlsTransport(std::string host, int port, TlsFiles files)
      : host_(std::move(host)), port_(port), files_(std::move(files)) {}
  ~TlsTransport() override { Close(); }

  bool Send(const AuditRecord& record, const AuditSource& source,
            std::string& why) override {
    SigpipeBlock quiet;
    // A collector sends nothing but its end (a close notification, the end
    // of the stream): a message written into an ended connection would be
    // lost, so a new one is made first.
    if (ssl_ != nullptr && PeerEnded()) Close();
    if (ssl_ == nullptr && !Connect(why)) return false;
    const std::string frame = OctetCounted(SyslogMessage(
        SyslogSeverity(record), record.time, source.host, source.process_id,
        AuditMessageXmlWithin(record, source, kMostTlsMessage)));
    size_t sent = 0;
    // Every write moves at least one byte or fails: at most frame.size()
    // rounds.
    while (sent < frame.size()) {
      const int n = ::SSL_write(
          ssl_, frame.data() + sent,
          static_cast<int>(std::min<size_t>(frame.size() - sent, 1 << 16)));
      if (n <= 0) {
        why = "the audit collector connection failed: " + OpenSslError();
        Close();
        return false;
      }
      sent += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  bool Connect(std::string& why) {
    Close();
    ctx_ = ::SSL_CTX_new(::TLS_client_method());
    if (ctx_ == nullptr) {
      why = OpenSslError();
      return false;
    }
    ::SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    ::SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    int loaded = 0;
    if (files_.ca_certificates.empty()) {
      loaded = ::SSL_CTX_set_default_verify_paths(ctx_);
    } else {
      struct stat st {};
      const bool folder = ::stat(files_.ca_certificates.c_str(), &st) == 0 &&
                          S_ISDIR(st.st_mode);
      loaded = ::SSL_CTX_load_verify_locations(
          ctx_, folder ? nullptr : files_.ca_certificates.c_str(),
          folder ? files_.ca_certificates.c_str() : nullptr);
    }
    if (loaded != 1) {
      why = "the CA certificates " + files_.ca_certificates +
            " cannot be read: " + OpenSslError();
      Close();
      return false;
    }
    if (!files_.certificate.empty() && !files_.private_key.empty() &&
        (::SSL_CTX_use_certificate_chain_file(ctx_,
                                              files_.certificate.c_str()) != 1 ||
         ::SSL_CTX_use_PrivateKey_file(ctx_, files_.private_key.c_str(),
                                       SSL_FILETYPE_PEM) != 1)) {
      why = "the client certificate cannot be used: " + OpenSslError();
      Close();
      return false;
    }
    fd_ = ConnectTo(host_, port_, SOCK_STREAM, why);
    if (fd_ < 0) {
      Close();
      return false;
    }
    ssl_ = ::SSL_new(ctx_);
    ::SSL_set_fd(ssl_, fd_);
    X509_VERIFY_PARAM* param = ::SSL_get0_param(ssl_);
    if (IsAddress(host_)) {
      ::X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str());
    } else {
      ::SSL_set_tlsext_host_name(ssl_, host_.c_str());
      ::X509_VERIFY_PARAM_set1_host(param, host_.c_str(), 0);
    }
    if (::SSL_connect(ssl_) != 1) {
      const long verify = ::SSL_get_verify_result(ssl_);
      why = "TLS with the audit collector " + host_ + ":" +
            std::to_string(port_) + " failed: " +
            (verify != X509_V_OK ? X509_verify_cert_error_string(verify)
                                 : OpenSslError().c_str());
      Close();
      return false;
    }
    return true;
  }

  bool PeerEnded() {
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) != 1) return false;
    if (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
    // Messages after the handshake (TLS 1.3 session tickets) make it
    // readable too: they are taken in without waiting.
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    char byte;
    const int n = ::SSL_peek(ssl_, &byte, 1);
    const int err = n > 0 ? SSL_ERROR_NONE : ::SSL_get_error(ssl_, n);
    ::fcntl(fd_, F_SETFL, flags);
    ::ERR_clear_error();
    return !(n > 0 || err == SSL_ERROR_WANT_READ ||
             err == SSL_ERROR_WANT_WRITE);
  }

  void Close() {
    if (ssl_ != nullptr) {
      SigpipeBlock quiet;
      ::SSL_shutdown(ssl_);
      ::SSL_free(ssl_);
      ssl_ = nullptr;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (ctx_ != nullptr) ::SSL_CTX_free(ctx_);
    ctx_ = nullptr;
  }

  const std::string host_;
  const int port_;
  const TlsFiles files_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  int fd_ = -1;
};

// A collector text that could not be used: the file, with the reason told
// once.
class InvalidTransport : public FileTransport {
 public:
  InvalidTransport(const std::string& text, const std::string& error) {
    ErrorLogWrite(0,
                  "AuditCollector \"" + text + "\" cannot be used (" + error +
                      "): audit messages go to Logs/Audit.log",
                  kProcedure);
  }
};

}  // namespace

Collector ParseCollector(std::string_view text) {
  Collector c;
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return c;
  auto invalid = [&](const std::string& why) {
    Collector bad;
    bad.kind = Collector::Kind::kInvalid;
    bad.error = why;
    return bad;
  };
  std::string_view rest;
  if (text.starts_with("udp://")) {
    c.kind = Collector::Kind::kUdp;
    c.port = 514;
    rest = text.substr(6);
  } else if (text.starts_with("tls://")) {
    c.kind = Collector::Kind::kTls;
    c.port = 6514;
    rest = text.substr(6);
  } else {
    return invalid("it starts neither with udp:// nor with tls://");
  }
  while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string_view port_text;
  bool port_given = false;
  if (rest.starts_with("[")) {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return invalid("a '[' without ']'");
    c.host = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return invalid("text after the address");
      port_given = true;
      port_text = rest.substr(1);
    }
  } else {
    const size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
      port_given = true;
      port_text = rest.substr(colon + 1);
      rest = rest.substr(0, colon);
    }
    c.host = std::string(rest);
  }
  if (c.host.empty()) return invalid("no host");
  if (port_given) {
    int port = 0;
    for (char ch : port_text) {
      if (ch < '0' || ch > '9' || port > 65535) return invalid("a bad port");
      port = port * 10 + (ch - '0');
    }
    if (port < 1 || port > 65535) return invalid("a bad port");
    c.port = port;
  }
  return c;
}

std::unique_ptr<Transport> TransportFor(const Config& config) {
  const Collector c = ParseCollector(config.AuditCollector);
  switch (c.kind) {
    case Collector::Kind::kUdp:
      return std::make_unique<UdpTransport>(c.host, c.port);
    case Collector::Kind::kTls:
      return std::make_unique<TlsTransport>(c.host, c.port,
                                            TlsFilesOf(config));
    case Collector::Kind::kInvalid:
      return std::make_unique<InvalidTransport>(config.AuditCollector,
                                                c.error);
    case Collector::Kind::kFile:
      break;
  }
  return std::make_unique<FileTransport>();
}

AuditTrail::AuditTrail(SettingsSource settings, Metrics* metrics)
    : AuditTrail(std::move(settings), metrics, Options{}) {}

AuditTrail::AuditTrail(SettingsSource settings, Metrics* metrics,
                       Options options)
    : settings_(std::move(settings)),
      metrics_(metrics),
      options_(std::move(options)) {
  source_base_.host = HostName();
  source_base_.process_id = std::to_string(::getpid());
}

AuditTrail::~AuditTrail() { Stop(); }

void AuditTrail::Start() {
  MutexLock lock(&mutex_);
  if (worker_.joinable() || stopping_) return;
  worker_ = std::thread([this] { Work(); });
}

void AuditTrail::Record(AuditRecord record) noexcept {
  GuardVoid(kProcedure, [&] {
    if (!settings_()->Audit) return;
    {
      MutexLock lock(&mutex_);
      if (!stopping_ && queue_.size() < options_.capacity) {
        queue_.push_back(std::move(record));
        wake_.NotifyAll();
        return;
      }
    }
    Drop(1);
  });
}

void AuditTrail::Drop(size_t count) noexcept {
  if (count == 0) return;
  bool write_line = false;
  {
    MutexLock lock(&mutex_);
    dropped_ += count;
    const auto now = std::chrono::steady_clock::now();
    if (!drop_line_written_ || now - last_drop_line_ >= kLineInterval) {
      drop_line_written_ = true;
      last_drop_line_ = now;
      write_line = true;
    }
  }
  if (metrics_ != nullptr)
    for (size_t i = 0; i < count; ++i) metrics_->AuditDropped();
  if (write_line)
    ErrorLogWrite(0,
                  "Audit messages dropped: the queue is full or the service "
                  "stops (see vantor_audit_dropped_total)",
                  kProcedure);
}

void AuditTrail::Stop() noexcept {
  std::thread worker;
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
    wake_.NotifyAll();
    worker = std::move(worker_);
  }
  if (worker.joinable()) worker.join();
  size_t left = 0;
  {
    MutexLock lock(&mutex_);
    left = queue_.size();
    queue_.clear();
  }
  Drop(left);
}

uint64_t AuditTrail::dropped() const {
  MutexLock lock(&mutex_);
  return dropped_;
}

size_t AuditTrail::waiting() const {
  MutexLock lock(&mutex_);
  return queue_.size();
}

void AuditTrail::Work() {
  std::unique_ptr<Transport> transport;
  std::string transport_key;
  auto pause = options_.first_pause;
  std::chrono::steady_clock::time_point last_failure_line{};
  bool failure_line_written = false;
  std::chrono::steady_clock::time_point drain_deadline{};
  bool draining = false;
  for (;;) {
    AuditRecord record;
    {
      MutexLock lock(&mutex_);
      while (queue_.empty() && !stopping_) wake_.Wait(mutex_);
      if (stopping_ && !draining) {
        draining = true;
        drain_deadline = std::chrono::steady_clock::now() + options_.drain_bound;
      }
      if (queue_.empty()) return;
      if (draining && std::chrono::steady_clock::now() >= drain_deadline)
        return;
      record = queue_.front();
    }
    bool sent = false;
    std::string why;
    GuardWith(
        [&] {
          const std::shared_ptr<const Config> config = settings_();
          const TlsFiles files = TlsFilesOf(*config);
          const std::string key = config->AuditCollector + "\n" +
                                  files.certificate + "\n" +
                                  files.private_key + "\n" +
                                  files.ca_certificates;
          if (!transport || key != transport_key) {
            transport = options_.transport ? options_.transport(*config)
                                           : TransportFor(*config);
            transport_key = key;
          }
          AuditSource source = source_base_;
          source.aet = config->OwnAET;
          source.caption = config->Caption;
          sent = transport->Send(record, source, why);
        },
        [&](const FailureInfo& failure) { why = failure.description; });
    if (sent) {
      pause = options_.first_pause;
      MutexLock lock(&mutex_);
      if (!queue_.empty()) queue_.pop_front();
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!failure_line_written || now - last_failure_line >= kLineInterval) {
      failure_line_written = true;
      last_failure_line = now;
      ErrorLogWrite(0, "Audit messages wait: " + why, kProcedure);
    }
    // The message stays first in the queue; the next try comes after the
    // pause (or at once when the service stops).
    MutexLock lock(&mutex_);
    auto until = now + pause;
    if (draining) until = std::min(until, drain_deadline);
    if (!stopping_ || draining) wake_.WaitUntil(mutex_, until);
    pause = std::min(pause * 2, options_.longest_pause);
  }
}

}  // namespace vantor::audit
