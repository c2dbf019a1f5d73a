#include "tests/support/tls_collector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/service_process.h"

namespace vantor {

bool MakeLoopbackCertificate(const std::string& cert, const std::string& key,
                             const std::string& name, std::string& why) {
  ToolResult r = RunDcmtkTool(
      "openssl",
      {"req", "-x509", "-newkey", "ec", "-pkeyopt",
       "ec_paramgen_curve:prime256v1", "-nodes", "-sha256", "-days", "2",
       "-subj", "/CN=" + name, "-addext", "subjectAltName=IP:127.0.0.1",
       "-keyout", key, "-out", cert},
      std::chrono::seconds(60));
  why = r.output;
  return r.exit_code == 0;
}

TlsCollector::TlsCollector(const std::string& cert, const std::string& key) {
  ctx_ = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate_file(ctx_, cert.c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM);
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd_, 4);
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

TlsCollector::~TlsCollector() {
  Join();
  ::close(fd_);
  SSL_CTX_free(ctx_);
}

void TlsCollector::Run(int connections, size_t frames_each) {
  thread_ = std::thread([this, connections, frames_each] {
    // Its close notification may meet a client that is gone already.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (int c = 0; c < connections; ++c) {
      std::string bytes = Take(frames_each);
      std::lock_guard<std::mutex> lock(mu_);
      received_.push_back(std::move(bytes));
      closed_.notify_all();
    }
  });
}

bool TlsCollector::WaitClosed(size_t n) {
  std::unique_lock<std::mutex> lock(mu_);
  return closed_.wait_for(lock, std::chrono::seconds(20),
                          [&] { return received_.size() >= n; });
}

const std::vector<std::string>& TlsCollector::Join() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

std::string TlsCollector::Take(size_t frames) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 20000) != 1) return "";
  const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn < 0) return "";
  timeval t{20, 0};
  ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  SSL* ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, conn);
  std::string bytes;
  if (SSL_accept(ssl) == 1) {
    char buffer[16384];
    // Each round reads at least one byte or ends.
    for (int round = 0; round < 100000 && Frames(bytes).size() < frames;
         ++round) {
      const int n = SSL_read(ssl, buffer, sizeof buffer);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
    SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  ::close(conn);
  return bytes;
}

std::vector<std::string> TlsCollector::Frames(const std::string& bytes) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t space = bytes.find(' ', at);
    if (space == std::string::npos || space == at || space - at > 9) break;
    const size_t length = std::stoul(bytes.substr(at, space - at));
    if (space + 1 + length > bytes.size()) break;
    out.push_back(bytes.substr(space + 1, length));
    at = space + 1 + length;
  }
  return out;
}

}  // namespace vantor
