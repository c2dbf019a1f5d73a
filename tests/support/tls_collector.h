// A syslog collector over TLS on a loopback port, made with OpenSSL in the
// test, and the self-signed certificates it presents.
#ifndef VANTOR_TESTS_SUPPORT_TLS_COLLECTOR_H_
#define VANTOR_TESTS_SUPPORT_TLS_COLLECTOR_H_

#include <openssl/ssl.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantor {

// Makes a self-signed certificate for 127.0.0.1 (its own CA) and its key;
// false with the reason in `why` when openssl failed.
bool MakeLoopbackCertificate(const std::string& cert, const std::string& key,
                             const std::string& name, std::string& why);

// Takes `connections` connections one after the other on its own thread
// and keeps what each sent, until the peer ends it or `frames_each`
// octet-counted frames arrived (every wait bounded by 20 s).
class TlsCollector {
 public:
  TlsCollector(const std::string& cert, const std::string& key);
  ~TlsCollector();
  TlsCollector(const TlsCollector&) = delete;
  TlsCollector& operator=(const TlsCollector&) = delete;

  int port() const { return port_; }
  void Run(int connections, size_t frames_each);
  // Waits (at most 20 s) until `n` connections were taken and closed.
  bool WaitClosed(size_t n);
  // Ends the thread; the bytes of each connection.
  const std::vector<std::string>& Join();

  // The whole "LEN SP MSG" frames at the start of `bytes`.
  static std::vector<std::string> Frames(const std::string& bytes);

 private:
  std::string Take(size_t frames);

  SSL_CTX* ctx_ = nullptr;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable closed_;
  std::vector<std::string> received_;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_TLS_COLLECTOR_H_
