#include "web/http/server.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "host/base/thread_annotations.h"

namespace vantor::web {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr size_t kBodyPiece = 256 * 1024;
constexpr unsigned kHeaderLimit = 16 * 1024;

// A connection's bytes, plain or through TLS: one type for the session.
class Stream {
 public:
  explicit Stream(tcp::socket socket) : socket_(std::move(socket)) {}
  Stream(tcp::socket socket, asio::ssl::context& context)
      : ssl_(std::make_unique<asio::ssl::stream<tcp::socket>>(
            std::move(socket), context)) {}

  tcp::socket& socket() { return ssl_ ? ssl_->next_layer() : *socket_; }
  bool tls() const { return ssl_ != nullptr; }
  bool Handshake(beast::error_code& ec) {
    if (ssl_) ssl_->handshake(asio::ssl::stream_base::server, ec);
    return !ec;
  }

  template <class Buffers>
  size_t read_some(const Buffers& buffers, beast::error_code& ec) {
    return ssl_ ? ssl_->read_some(buffers, ec)
                : socket_->read_some(buffers, ec);
  }
  template <class Buffers>
  size_t read_some(const Buffers& buffers) {
    beast::error_code ec;
    size_t n = read_some(buffers, ec);
    if (ec) throw beast::system_error(ec);
    return n;
  }
  template <class Buffers>
  size_t write_some(const Buffers& buffers, beast::error_code& ec) {
    return ssl_ ? ssl_->write_some(buffers, ec)
                : socket_->write_some(buffers, ec);
  }
  template <class Buffers>
  size_t write_some(const Buffers& buffers) {
    beast::error_code ec;
    size_t n = write_some(buffers, ec);
    if (ec) throw beast::system_error(ec);
    return n;
  }

 private:
  std::optional<tcp::socket> socket_;
  std::unique_ptr<asio::ssl::stream<tcp::socket>> ssl_;
};

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (key == name) return value;
  return "";
}

std::string HttpReason(int status) {
  return std::string(
      http::obsolete_reason(static_cast<http::status>(status)));
}

struct HttpServer::Impl {
  Impl(Handler h, Refused r, HttpLimits l)
      : handle(std::move(h)), refused(std::move(r)), limits(l) {}

  struct Listener {
    std::unique_ptr<tcp::acceptor> acceptor;
    std::shared_ptr<asio::ssl::context> tls;
    std::thread thread;
  };

  const Handler handle;
  const Refused refused;
  const HttpLimits limits;
  asio::io_context io;

  Mutex mu;
  CondVar changed;
  std::vector<std::unique_ptr<Listener>> listeners GUARDED_BY(mu);
  // Open connections: their socket and the moment the watchdog ends them.
  struct Live {
    int fd;
    Clock::time_point deadline;
  };
  std::map<uint64_t, Live> live GUARDED_BY(mu);
  uint64_t next_id GUARDED_BY(mu) = 1;
  int connections GUARDED_BY(mu) = 0;
  bool stopping GUARDED_BY(mu) = false;
  std::thread watchdog;
  std::atomic<int> bound{0};

  void Arm(uint64_t id, int seconds) {
    MutexLock lock(&mu);
    auto it = live.find(id);
    if (it != live.end())
      it->second.deadline = Clock::now() + std::chrono::seconds(seconds);
  }

  void Watch() {
    MutexLock lock(&mu);
    while (!stopping) {
      changed.WaitUntil(mu, Clock::now() + std::chrono::milliseconds(250));
      const auto now = Clock::now();
      for (auto& [id, conn] : live) {
        if (conn.deadline <= now) {
          // Wakes the connection's thread out of its read or write.
          ::shutdown(conn.fd, SHUT_RDWR);
          conn.deadline = Clock::time_point::max();
        }
      }
    }
  }

  bool Start(int port, const std::string& address,
             std::shared_ptr<asio::ssl::context> tls, std::string& error);
  void Accept(Listener& listener);
  void Serve(uint64_t id, Stream& stream, const std::string& remote,
             bool tls);
};

namespace {

// One request on its connection, as the handler sees it.
class Exchange : public HttpExchange {
 public:
  Exchange(Stream& stream, beast::flat_buffer& buffer,
           http::request_parser<http::buffer_body>& parser,
           HttpRequest request, const std::function<void()>& touch)
      : stream_(stream),
        buffer_(buffer),
        parser_(parser),
        request_(std::move(request)),
        touch_(touch) {
    body_done_ = parser_.is_done();
  }

  const HttpRequest& request() const override { return request_; }

  BodyEnd ReadBody(
      const std::function<bool(std::string_view)>& sink) override {
    if (body_done_) return BodyEnd::kComplete;
    if (body_started_) return BodyEnd::kBroken;
    body_started_ = true;
    beast::error_code ec;
    if (beast::iequals(request_.Header("expect"), "100-continue")) {
      static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::write(stream_, asio::buffer(kContinue, sizeof kContinue - 1), ec);
      if (ec) return BodyEnd::kBroken;
    }
    std::vector<char> piece(kBodyPiece);
    while (!parser_.is_done()) {
      parser_.get().body().data = piece.data();
      parser_.get().body().size = piece.size();
      http::read(stream_, buffer_, parser_, ec);
      if (ec == http::error::need_buffer) ec = {};
      if (ec == http::error::body_limit) return BodyEnd::kTooLarge;
      if (ec) return BodyEnd::kBroken;
      touch_();
      const size_t n = piece.size() - parser_.get().body().size;
      if (n > 0 && !sink(std::string_view(piece.data(), n)))
        return BodyEnd::kStopped;
    }
    body_done_ = true;
    return BodyEnd::kComplete;
  }

  void Respond(int status, const HttpHeaders& headers,
               std::string body) override {
    if (answered_) return;
    answered_ = true;
    status_ = status;
    http::response<http::string_body> res{static_cast<http::status>(status),
                                          11};
    SetHeaders(res, headers);
    res.body() = std::move(body);
    res.prepare_payload();
    beast::error_code ec;
    http::write(stream_, res, ec);
    if (ec) broken_ = true;
    else bytes_sent_ += res.body().size();
  }

  bool BeginStream(int status, const HttpHeaders& headers) override {
    if (answered_) return false;
    answered_ = true;
    status_ = status;
    streaming_ = true;
    http::response<http::empty_body> res{static_cast<http::status>(status),
                                         11};
    SetHeaders(res, headers);
    res.chunked(true);
    http::response_serializer<http::empty_body> serializer{res};
    beast::error_code ec;
    http::write_header(stream_, serializer, ec);
    if (ec) broken_ = true;
    return !broken_;
  }

  bool WriteChunk(std::string_view piece) override {
    if (!streaming_ || broken_) return false;
    if (piece.empty()) return true;  // an empty chunk would end the answer
    beast::error_code ec;
    asio::write(stream_,
                http::make_chunk(asio::const_buffer(piece.data(), piece.size())),
                ec);
    if (ec) {
      broken_ = true;
      return false;
    }
    bytes_sent_ += piece.size();
    touch_();
    return true;
  }

  bool WriteFile(const std::string& path) override {
    if (!streaming_ || broken_) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      ::close(fd);
      return false;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    bool ok = size == 0 || (stream_.tls() ? CopyFile(fd, size)
                                          : SendFile(fd, size));
    ::close(fd);
    return ok;
  }

  void EndStream() override {
    if (!streaming_ || broken_ || ended_) return;
    ended_ = true;
    beast::error_code ec;
    asio::write(stream_, http::make_chunk_last(), ec);
    if (ec) broken_ = true;
  }

  void Abort() override { broken_ = true; }
  bool answered() const override { return answered_; }
  int status() const override { return status_; }
  uint64_t bytes_sent() const override { return bytes_sent_; }

  // The connection can carry another request: the answer is whole, the
  // body was read, and both sides want to go on.
  bool reusable() const {
    return !broken_ && body_done_ && keep_alive_ &&
           (!streaming_ || ended_);
  }

 private:
  template <class Response>
  void SetHeaders(Response& res, const HttpHeaders& headers) {
    res.set(http::field::server, "Vantor");
    for (const auto& [name, value] : headers) res.set(name, value);
    // An unread body cannot be skipped safely: the connection ends.
    keep_alive_ = parser_.get().keep_alive() && body_done_;
    res.keep_alive(keep_alive_);
  }

  // One chunk of `size` bytes: its header, the file's bytes by sendfile(2),
  // its end. A file that turns out shorter breaks the connection, since the
  // chunk's length has gone out.
  bool SendFile(int fd, size_t size) {
    char head[32];
    const int n = std::snprintf(head, sizeof head, "%zx\r\n", size);
    beast::error_code ec;
    asio::write(stream_, asio::buffer(head, static_cast<size_t>(n)), ec);
    if (ec) return Broken();
    const int socket = stream_.socket().native_handle();
    off_t offset = 0;
    while (static_cast<size_t>(offset) < size) {
      const ssize_t sent =
          ::sendfile(socket, fd, &offset, size - static_cast<size_t>(offset));
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return Broken();
      bytes_sent_ += static_cast<uint64_t>(sent);
      touch_();
    }
    asio::write(stream_, asio::buffer("\r\n", 2), ec);
    return ec ? Broken() : true;
  }

  // The same through TLS: read and written in pieces, one chunk each.
  bool CopyFile(int fd, size_t size) {
    std::string piece(kBodyPiece, '\0');
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::read(fd, piece.data(), piece.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return done == 0 ? false : Broken();
      if (!WriteChunk(std::string_view(piece.data(), static_cast<size_t>(n))))
        return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  bool Broken() {
    broken_ = true;
    return false;
  }

  Stream& stream_;
  beast::flat_buffer& buffer_;
  http::request_parser<http::buffer_body>& parser_;
  HttpRequest request_;
  const std::function<void()>& touch_;
  bool body_done_ = false;
  bool body_started_ = false;
  bool answered_ = false;
  bool streaming_ = false;
  bool ended_ = false;
  bool broken_ = false;
  bool keep_alive_ = false;
  int status_ = 0;
  uint64_t bytes_sent_ = 0;
};

void WriteSimple(Stream& stream, int status, const std::string& text) {
  http::response<http::string_body> res{static_cast<http::status>(status),
                                        11};
  res.set(http::field::server, "Vantor");
  res.set(http::field::content_type, "text/plain; charset=utf-8");
  if (status == 503) res.set(http::field::retry_after, "1");
  res.keep_alive(false);
  res.body() = text + "\n";
  res.prepare_payload();
  beast::error_code ec;
  http::write(stream, res, ec);
}

}  // namespace

void HttpServer::Impl::Serve(uint64_t id, Stream& stream,
                             const std::string& remote, bool tls) {
  beast::error_code ec;
  Arm(id, limits.io_seconds);
  if (!stream.Handshake(ec)) {
    refused(remote, 0, "TLS handshake failed: " + ec.message());
    return;
  }
  beast::flat_buffer buffer;
  const std::function<void()> touch = [this, id] {
    Arm(id, limits.io_seconds);
  };
  for (;;) {
    Arm(id, limits.idle_seconds);
    http::request_parser<http::buffer_body> parser;
    parser.header_limit(kHeaderLimit);
    parser.body_limit(limits.max_body_bytes);
    http::read_header(stream, buffer, parser, ec);
    if (ec == http::error::end_of_stream || ec == asio::error::eof ||
        ec == asio::error::connection_reset || ec == asio::error::shut_down ||
        ec == asio::ssl::error::stream_truncated)
      return;
    if (ec == http::error::body_limit) {
      // The length it announces is over the limit.
      const std::string reason =
          "Body over the limit of " + std::to_string(limits.max_body_bytes) +
          " bytes";
      refused(remote, 413, reason);
      WriteSimple(stream, 413, reason);
      return;
    }
    if (ec) {
      // Bytes that are not an HTTP request.
      refused(remote, 400, "Bad request: " + ec.message());
      WriteSimple(stream, 400, "Bad request: " + ec.message());
      return;
    }
    Arm(id, limits.io_seconds);
    const auto& header = parser.get();
    HttpRequest request;
    request.method = std::string(header.method_string());
    request.target = std::string(header.target());
    const size_t q = request.target.find('?');
    request.path = request.target.substr(0, q);
    if (q != std::string::npos) request.query = request.target.substr(q + 1);
    for (const auto& field : header) {
      std::string name(field.name_string());
      for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      request.headers.emplace_back(std::move(name),
                                   std::string(field.value()));
    }
    request.remote_ip = remote;
    request.tls = tls;
    if (auto length = parser.content_length()) request.content_length = *length;
    if (request.content_length && *request.content_length > limits.max_body_bytes) {
      const std::string reason =
          "Body of " + std::to_string(*request.content_length) +
          " bytes over the limit of " + std::to_string(limits.max_body_bytes);
      refused(remote, 413, reason);
      WriteSimple(stream, 413, reason);
      return;
    }
    Exchange exchange(stream, buffer, parser, std::move(request), touch);
    handle(exchange);
    if (!exchange.answered())
      exchange.Respond(500, {{"Content-Type", "text/plain"}}, "No answer\n");
    exchange.EndStream();
    if (!exchange.reusable()) return;
  }
}

bool HttpServer::Impl::Start(int port, const std::string& address,
                             std::shared_ptr<asio::ssl::context> tls,
                             std::string& error) {
  auto listener = std::make_unique<Listener>();
  listener->tls = std::move(tls);
  beast::error_code ec;
  const auto ip = address.empty() ? asio::ip::address(asio::ip::address_v4::any())
                                  : asio::ip::make_address(address, ec);
  if (ec) {
    error = "Invalid listen address " + address + ": " + ec.message();
    return false;
  }
  listener->acceptor = std::make_unique<tcp::acceptor>(io);
  const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
  listener->acceptor->open(endpoint.protocol(), ec);
  if (!ec) listener->acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) listener->acceptor->bind(endpoint, ec);
  if (!ec) listener->acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "Port " + std::to_string(port) + " cannot be bound: " + ec.message();
    return false;
  }
  bound = listener->acceptor->local_endpoint().port();
  Listener& ref = *listener;
  MutexLock lock(&mu);
  if (stopping) {
    error = "The server is stopping";
    return false;
  }
  if (!watchdog.joinable()) watchdog = std::thread([this] { Watch(); });
  listeners.push_back(std::move(listener));
  ref.thread = std::thread([this, &ref] { Accept(ref); });
  return true;
}

void HttpServer::Impl::Accept(Listener& listener) {
  for (;;) {
    beast::error_code ec;
    tcp::socket socket(io);
    listener.acceptor->accept(socket, ec);
    {
      MutexLock lock(&mu);
      if (stopping) return;
    }
    if (ec) {
      // A full descriptor table or the like: try again shortly.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    socket.set_option(tcp::no_delay(true), ec);
    std::string remote;
    {
      auto endpoint = socket.remote_endpoint(ec);
      if (!ec) {
        auto addr = endpoint.address();
        if (addr.is_v6() && addr.to_v6().is_v4_mapped())
          addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
        remote = addr.to_string();
      }
    }
    uint64_t id = 0;
    {
      MutexLock lock(&mu);
      if (connections < limits.max_connections) {
        id = next_id++;
        ++connections;
        live[id] = Live{socket.native_handle(),
                        Clock::now() + std::chrono::seconds(limits.io_seconds)};
      }
    }
    if (id == 0) {
      const std::string reason =
          "Too many connections (" + std::to_string(limits.max_connections) +
          ")";
      refused(remote, 503, reason);
      if (!listener.tls) {
        Stream stream(std::move(socket));
        WriteSimple(stream, 503, reason);
      }
      continue;
    }
    auto tls = listener.tls;
    std::thread([this, id, tls, remote, s = std::move(socket)]() mutable {
      {
        std::unique_ptr<Stream> stream =
            tls ? std::make_unique<Stream>(std::move(s), *tls)
                : std::make_unique<Stream>(std::move(s));
        Serve(id, *stream, remote, tls != nullptr);
        beast::error_code ignored;
        stream->socket().shutdown(tcp::socket::shutdown_both, ignored);
        // Closed before the entry goes, so the watchdog never shuts down a
        // descriptor that another connection has been given meanwhile.
        MutexLock lock(&mu);
        stream->socket().close(ignored);
        live.erase(id);
        --connections;
      }
      changed.NotifyAll();
    }).detach();
  }
}

HttpServer::HttpServer(Handler handle, Refused refused, HttpLimits limits)
    : impl_(std::make_unique<Impl>(std::move(handle), std::move(refused),
                                   limits)) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Listen(int port, const std::string& address,
                        std::string& error) {
  return impl_->Start(port, address, nullptr, error);
}

bool HttpServer::ListenTls(int port, const std::string& address,
                           const TlsFiles& files, std::string& error) {
  auto context =
      std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  beast::error_code ec;
  context->set_options(asio::ssl::context::default_workarounds |
                           asio::ssl::context::no_sslv2 |
                           asio::ssl::context::no_sslv3 |
                           asio::ssl::context::no_tlsv1 |
                           asio::ssl::context::no_tlsv1_1,
                       ec);
  if (!ec) context->use_certificate_chain_file(files.certificate, ec);
  if (ec) {
    error = "Certificate " + files.certificate + ": " + ec.message();
    return false;
  }
  context->use_private_key_file(files.private_key, asio::ssl::context::pem,
                                ec);
  if (ec) {
    error = "Private key " + files.private_key + ": " + ec.message();
    return false;
  }
  return impl_->Start(port, address, std::move(context), error);
}

int HttpServer::bound_port() const { return impl_->bound; }

void HttpServer::Stop() {
  Impl& s = *impl_;
  std::vector<std::unique_ptr<Impl::Listener>> listeners;
  {
    MutexLock lock(&s.mu);
    if (s.stopping && s.listeners.empty() && s.connections == 0 &&
        !s.watchdog.joinable())
      return;
    s.stopping = true;
    listeners.swap(s.listeners);
    // Wakes every connection's thread out of its read or write.
    for (auto& [id, conn] : s.live) ::shutdown(conn.fd, SHUT_RDWR);
  }
  s.changed.NotifyAll();
  for (auto& listener : listeners) {
    // Wakes the blocked accept.
    ::shutdown(listener->acceptor->native_handle(), SHUT_RDWR);
    if (listener->thread.joinable()) listener->thread.join();
    beast::error_code ignored;
    listener->acceptor->close(ignored);
  }
  {
    MutexLock lock(&s.mu);
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (s.connections > 0 && Clock::now() < until) {
      for (auto& [id, conn] : s.live) ::shutdown(conn.fd, SHUT_RDWR);
      s.changed.WaitUntil(s.mu, Clock::now() + std::chrono::milliseconds(100));
    }
  }
  if (s.watchdog.joinable()) s.watchdog.join();
}

}  // namespace vantor::web
