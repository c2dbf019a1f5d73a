// The HTTP floor of the web port: accepts connections on a port (plain or
// TLS), reads requests with Boost.Beast and hands each to the handler on the
// connection's own thread. Beast stays behind this header: the handler sees
// an HttpExchange, reads the body in pieces and answers whole or streamed.
//
// Bounds: at most `max_connections` connections at once (another is
// answered 503 and closed); a connection that stays silent between requests
// for `idle_seconds`, or does not move while a request or answer is on the
// wire for `io_seconds`, is closed; a body over `max_body_bytes` is
// answered 413 before the handler reads it.
#ifndef VANTOR_WEB_HTTP_SERVER_H_
#define VANTOR_WEB_HTTP_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/base/tls_settings.h"

namespace vantor::web {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // as sent
  std::string path;    // the target before "?", not decoded
  std::string query;   // the target after "?", not decoded
  HttpHeaders headers;  // names in lower case
  std::string remote_ip;
  bool tls = false;
  std::optional<uint64_t> content_length;  // absent for a chunked body

  // The first header of that name (lower case), "" when absent.
  std::string Header(std::string_view name) const;
};

// How reading a body ended.
enum class BodyEnd {
  kComplete,   // every byte was handed over
  kStopped,    // the sink said stop
  kTooLarge,   // over the body limit
  kBroken,     // the connection failed or timed out
};

// One request on its connection.
class HttpExchange {
 public:
  virtual ~HttpExchange() = default;
  virtual const HttpRequest& request() const = 0;
  // Hands the body to `sink` in pieces as they arrive (never the whole body
  // at once); `sink` returns false to stop. May be called once.
  virtual BodyEnd ReadBody(
      const std::function<bool(std::string_view piece)>& sink) = 0;
  // A whole answer. `headers` may set Content-Type and others; the length
  // is set here.
  virtual void Respond(int status, const HttpHeaders& headers,
                       std::string body) = 0;
  // A streamed answer: the header now (chunked), then the pieces, then the
  // end. WriteChunk returns false once the connection is gone.
  virtual bool BeginStream(int status, const HttpHeaders& headers) = 0;
  virtual bool WriteChunk(std::string_view piece) = 0;
  // The whole file at `path` as the next piece of a streamed answer, handed
  // to the connection by the system without passing through the process
  // where the connection allows it. False when the file cannot be read
  // (nothing of it was sent) or the connection is gone.
  virtual bool WriteFile(const std::string& path) = 0;
  virtual void EndStream() = 0;
  // Ends a begun answer without its end, so that the caller sees it is
  // incomplete (the connection closes).
  virtual void Abort() = 0;
  // Whether an answer (whole or begun) has gone out, and its status.
  virtual bool answered() const = 0;
  virtual int status() const = 0;
  // Bytes of the answer's body sent so far.
  virtual uint64_t bytes_sent() const = 0;
};

struct HttpLimits {
  int max_connections = 32;
  int idle_seconds = 60;
  int io_seconds = 60;
  uint64_t max_body_bytes = 4ull << 30;
};

class HttpServer {
 public:
  // `handle` serves every request; `refused` learns of a connection or
  // request turned away before the handler saw it (remote address, status,
  // reason) so that it can be logged. Neither may throw.
  using Handler = std::function<void(HttpExchange& exchange)>;
  using Refused = std::function<void(const std::string& remote_ip, int status,
                                     const std::string& reason)>;
  HttpServer(Handler handle, Refused refused, HttpLimits limits);
  ~HttpServer();  // Stop()
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts listening on `port` of `address` ("" = every interface), plain
  // or, with `tls`, with the certificate and key of `files` (TLS 1.2 or
  // later). False with the reason in `error` when it cannot.
  bool Listen(int port, const std::string& address, std::string& error);
  bool ListenTls(int port, const std::string& address, const TlsFiles& files,
                 std::string& error);
  // The port actually bound by the last Listen call (for port 0).
  int bound_port() const;
  // Stops listening, ends every connection and waits for their threads.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The reason phrase of a status ("Not Found").
std::string HttpReason(int status);

}  // namespace vantor::web

#endif  // VANTOR_WEB_HTTP_SERVER_H_
