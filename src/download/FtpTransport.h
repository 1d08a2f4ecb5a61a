#pragma once

#include "download/FtpIo.h"

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tlv {

// An HTTP proxy that connects the session's sockets through a CONNECT tunnel.
struct TFtpHttpTunnel {
    std::string Host;
    uint16_t Port = 0;
    std::string Username; // empty: no authentication
    std::string Password;
};

// One connection of an FTP session, as a byte stream: plain TCP, the same through an HTTP
// proxy tunnel, and TLS laid over either. The control and the data connections both use it, so
// neither knows which of these it runs over. Session thread only.
class FtpTransport {
public:
    using Clock = FtpIo::Clock;
    using Handler = std::function<void(const std::error_code&, std::size_t)>;

    explicit FtpTransport(FtpIo& io);
    ~FtpTransport();
    FtpTransport(const FtpTransport&) = delete;
    FtpTransport& operator=(const FtpTransport&) = delete;

    // Resolves and connects to host:port, through the tunnel when one is given. Raises
    // EFtpError (or EFtpInterrupted).
    void Connect(const std::string& host, uint16_t port, const TFtpHttpTunnel* tunnel,
                 Clock::time_point deadline);
    // Takes over a socket that a listener accepted.
    void Adopt(asio::ip::tcp::socket socket);

    // Runs the TLS client handshake over the connection. `reuse`, when given, is offered for
    // resumption: servers tie data connections to the control connection's TLS session.
    void StartTls(asio::ssl::context& context, const std::string& serverName, SSL_SESSION* reuse,
                  Clock::time_point deadline);
    bool IsTls() const { return m_tls != nullptr; }
    // The current TLS session when it can be resumed (a reference the caller frees with
    // SSL_SESSION_free), or null.
    SSL_SESSION* TakeTlsSession() const;
    bool TlsSessionReused() const;

    bool IsOpen() const { return m_socket.is_open(); }
    asio::ip::tcp::endpoint LocalEndpoint() const;
    asio::ip::tcp::endpoint RemoteEndpoint() const;

    // An orderly end of the stream, with or without a TLS close_notify, arrives as
    // asio::error::eof.
    void AsyncReadSome(asio::mutable_buffer buffer, Handler handler);
    // Completes when all of `buffer` was written; it must live until then.
    void AsyncWrite(asio::const_buffer buffer, Handler handler);
    // Not interruptible: a line is sent whole or the connection is given up.
    void Write(std::string_view data, Clock::time_point deadline,
               const std::string& timeoutMessage = "Connection timed out");

    // Makes pending operations complete with operation_aborted.
    void Cancel();
    void Close();

private:
    void openTunnel(const std::string& host, uint16_t port, const TFtpHttpTunnel& tunnel,
                    Clock::time_point deadline);

    FtpIo& m_io;
    asio::ip::tcp::socket m_socket;
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> m_tls;
};

} // namespace tlv
