#pragma once

#include "download/FtpTransport.h"

#include <asio/ip/tcp.hpp>
#include <optional>

namespace tlv {

// One data connection of an FTP session: connected to the server's passive port, or accepted
// on a port of ours that a PORT command announced. TLS, when the session uses it, is started by
// the caller once the server has answered the transfer command. Session thread only.
class FtpDataConnection {
public:
    using Clock = FtpIo::Clock;

    explicit FtpDataConnection(FtpIo& io);
    ~FtpDataConnection();
    FtpDataConnection(const FtpDataConnection&) = delete;
    FtpDataConnection& operator=(const FtpDataConnection&) = delete;

    // Passive mode.
    void Connect(const std::string& host, uint16_t port, const TFtpHttpTunnel* tunnel,
                 Clock::time_point deadline);

    // Active mode: listens on `local` (a free port) and returns the endpoint to announce.
    asio::ip::tcp::endpoint Listen(const asio::ip::address& local);
    // Waits for the server to connect to the announced endpoint; the listener then closes.
    // A connection from any other address than `peer` (the control connection's) is refused:
    // whoever reaches the port first would otherwise feed us the file.
    void Accept(const asio::ip::address& peer, Clock::time_point deadline);

    FtpTransport& Transport() { return m_transport; }
    void Close();

private:
    FtpIo& m_io;
    FtpTransport m_transport;
    std::optional<asio::ip::tcp::acceptor> m_acceptor;
};

} // namespace tlv
