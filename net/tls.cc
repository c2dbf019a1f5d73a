#include "net/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "host/base/sigpipe_block.h"

namespace vantor {
namespace {

struct Connection {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
};

std::mutex& TableMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<int32_t, Connection>& Table() {
  static auto* table = new std::map<int32_t, Connection>;
  return *table;
}

// Handles of working connections are above 100; they count up and wrap
// around before they could leave the 32-bit range.
constexpr int32_t kFirstHandle = 101;
int32_t next_handle = kFirstHandle;

int32_t Register(Connection connection) {
  std::lock_guard<std::mutex> lock(TableMutex());
  auto& table = Table();
  for (;;) {
    int32_t handle = next_handle;
    next_handle = next_handle == INT32_MAX ? kFirstHandle : next_handle + 1;
    if (table.emplace(handle, connection).second) return handle;
  }
}

SSL* Find(int32_t handle) {
  std::lock_guard<std::mutex> lock(TableMutex());
  auto it = Table().find(handle);
  return it == Table().end() ? nullptr : it->second.ssl;
}

void Free(Connection connection) {
  if (connection.ssl) SSL_free(connection.ssl);
  if (connection.ctx) SSL_CTX_free(connection.ctx);
}

SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(
      ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A peer that drops the TCP connection without a close notification ends
  // the connection like one that sends it.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  return ctx;
}

// errno for a failed call, as the header promises.
int32_t Failed(SSL* ssl, int result) {
  const int error = SSL_get_error(ssl, result);
  switch (error) {
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_SYSCALL:
      if (errno == 0) return 0;  // end of file
      if (errno == EWOULDBLOCK) errno = EAGAIN;
      return -1;
    default:
      errno = ECONNABORTED;
      return -1;
  }
}

// Runs `io` (an SSL_read or SSL_write of `count` bytes) on the connection
// `handle` with SIGPIPE held back: the bytes it moved, 0 at the end of the
// connection (or for no bytes), -1 with errno as the header promises.
template <typename Io>
int32_t Transfer(int32_t handle, int32_t count, const Io& io) {
  SSL* ssl = Find(handle);
  if (!ssl) {
    errno = EBADF;
    return -1;
  }
  if (count <= 0) return 0;
  ERR_clear_error();
  SigpipeBlock block;
  errno = 0;
  const int moved = io(ssl);
  if (moved > 0) return moved;
  const int32_t result = Failed(ssl, moved);
  ERR_clear_error();
  return result;
}

void CopyText(const char* text, char* buffer) {
  if (!buffer) return;
  std::strncpy(buffer, text ? text : "", kSslTextSize - 1);
  buffer[kSslTextSize - 1] = '\0';
}

void CopyName(X509_NAME* name, char* buffer) {
  if (!buffer) return;
  buffer[0] = '\0';
  if (name) X509_NAME_oneline(name, buffer, kSslTextSize);
}

// The connection's SSL on `socket`, through `handshake` (SSL_connect or
// SSL_accept): its handle, or 0 (the connection freed).
int32_t Handshake(Connection& connection, int socket,
                  int (*handshake)(SSL*)) {
  connection.ssl = SSL_new(connection.ctx);
  if (!connection.ssl || SSL_set_fd(connection.ssl, socket) != 1) {
    Free(connection);
    return 0;
  }
  SigpipeBlock block;
  if (handshake(connection.ssl) != 1) {
    ERR_clear_error();
    Free(connection);
    return 0;
  }
  return Register(connection);
}

}  // namespace

int32_t ssl_init_client(int socket, const char* ca_file) {
  ERR_clear_error();
  Connection connection;
  connection.ctx = NewContext(TLS_client_method());
  if (!connection.ctx) return 0;
  // The handshake goes on when the peer cannot be verified; the verify
  // result tells the caller.
  SSL_CTX_set_verify(connection.ctx, SSL_VERIFY_NONE, nullptr);
  if (ca_file && *ca_file)
    SSL_CTX_load_verify_locations(connection.ctx, ca_file, nullptr);
  else
    SSL_CTX_set_default_verify_paths(connection.ctx);
  return Handshake(connection, socket, SSL_connect);
}

int32_t ssl_init_server(int socket, const char* certificate_file,
                        const char* key_file) {
  ERR_clear_error();
  Connection connection;
  connection.ctx = NewContext(TLS_server_method());
  if (!connection.ctx) return 0;
  if (!certificate_file || !key_file ||
      SSL_CTX_use_certificate_chain_file(connection.ctx, certificate_file) !=
          1 ||
      SSL_CTX_use_PrivateKey_file(connection.ctx, key_file, SSL_FILETYPE_PEM) !=
          1 ||
      SSL_CTX_check_private_key(connection.ctx) != 1) {
    ERR_clear_error();
    Free(connection);
    return 0;
  }
  return Handshake(connection, socket, SSL_accept);
}

int32_t ssl_getverify(int32_t handle) {
  SSL* ssl = Find(handle);
  if (!ssl || !SSL_get0_peer_certificate(ssl)) return -1;
  return static_cast<int32_t>(SSL_get_verify_result(ssl));
}

void ssl_getcipher(int32_t handle, char* buffer) {
  SSL* ssl = Find(handle);
  CopyText(ssl ? SSL_get_cipher_name(ssl) : "", buffer);
}

void ssl_getsubject(int32_t handle, char* buffer) {
  SSL* ssl = Find(handle);
  X509* cert = ssl ? SSL_get0_peer_certificate(ssl) : nullptr;
  CopyName(cert ? X509_get_subject_name(cert) : nullptr, buffer);
}

void ssl_getissuer(int32_t handle, char* buffer) {
  SSL* ssl = Find(handle);
  X509* cert = ssl ? SSL_get0_peer_certificate(ssl) : nullptr;
  CopyName(cert ? X509_get_issuer_name(cert) : nullptr, buffer);
}

int32_t ssl_send(int32_t handle, const void* bytes, int32_t count) {
  const int32_t result = Transfer(
      handle, count, [&](SSL* ssl) { return SSL_write(ssl, bytes, count); });
  if (result == 0 && count > 0) {
    // Nothing can go out on a connection that has ended.
    errno = EPIPE;
    return -1;
  }
  return result;
}

int32_t ssl_recv(int32_t handle, void* buffer, int32_t count) {
  return Transfer(handle, count,
                  [&](SSL* ssl) { return SSL_read(ssl, buffer, count); });
}

void ssl_cleanup(int32_t handle) {
  Connection connection;
  {
    std::lock_guard<std::mutex> lock(TableMutex());
    auto it = Table().find(handle);
    if (it == Table().end()) return;
    connection = it->second;
    Table().erase(it);
  }
  {
    SigpipeBlock block;
    ERR_clear_error();
    if (connection.ssl && SSL_is_init_finished(connection.ssl))
      SSL_shutdown(connection.ssl);
    ERR_clear_error();
  }
  Free(connection);
}

}  // namespace vantor
