// The TLS layer of the socket class, over OpenSSL 3. A TLS connection runs
// on a connected TCP socket that the caller keeps owning; it is named by a
// 32-bit handle. Handles of working connections are always greater than 100
// (0 stands for "none"). Safe from any thread; one connection is used by one
// thread at a time.
#ifndef VANTOR_NET_TLS_H_
#define VANTOR_NET_TLS_H_

#include <cstdint>

namespace vantor {

// Size of the buffers ssl_getcipher, ssl_getsubject and ssl_getissuer fill.
inline constexpr int kSslTextSize = 1000;

// Starts the client side on `socket` (connected, blocking or with receive
// and send time-outs: the handshake runs at once). `ca_file` (PEM, may be
// empty: the system's trusted certificates) is what the peer's certificate
// is verified against; a failed verification does not end the connection,
// ssl_getverify tells it. Returns the handle, 0 on failure.
int32_t ssl_init_client(int socket, const char* ca_file);

// Starts the server side on `socket` with the certificate and private key
// files (PEM). Returns the handle; 100 or less on failure.
int32_t ssl_init_server(int socket, const char* certificate_file,
                        const char* key_file);

// 0 when the peer presented a certificate that verified; otherwise the
// OpenSSL verify result (X509_V_ERR_..., or -1 without a certificate or
// handle).
int32_t ssl_getverify(int32_t handle);

// Fill `buffer` (kSslTextSize bytes) with NUL-terminated text: the cipher
// name, the peer certificate's subject and issuer (one-line form,
// "/C=../CN=.."). Empty text when unknown.
void ssl_getcipher(int32_t handle, char* buffer);
void ssl_getsubject(int32_t handle, char* buffer);
void ssl_getissuer(int32_t handle, char* buffer);

// Send and receive. Return the count of bytes sent or received (> 0); for
// a receive 0 when the peer ended the connection; -1 on failure with errno
// set: EAGAIN when the socket is non-blocking and the call must be repeated
// with the same bytes (or a time-out expired), another errno when the
// connection failed (EPIPE for a send on an ended one). Never raise SIGPIPE.
int32_t ssl_send(int32_t handle, const void* bytes, int32_t count);
int32_t ssl_recv(int32_t handle, void* buffer, int32_t count);

// Ends the TLS connection (a close notification is sent when the socket
// takes it at once) and frees the handle. The socket stays open.
void ssl_cleanup(int32_t handle);

}  // namespace vantor

#endif  // VANTOR_NET_TLS_H_
