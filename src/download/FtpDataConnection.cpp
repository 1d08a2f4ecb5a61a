#include "download/FtpDataConnection.h"

#include "download/FtpError.h"

namespace tlv {

FtpDataConnection::FtpDataConnection(FtpIo& io) : m_io(io), m_transport(io) {}

FtpDataConnection::~FtpDataConnection() {
    Close();
}

void FtpDataConnection::Connect(const std::string& host, uint16_t port,
                                const TFtpHttpTunnel* tunnel, Clock::time_point deadline) {
    try {
        m_transport.Connect(host, port, tunnel, deadline);
    } catch (const EFtpInterrupted&) {
        throw;
    } catch (const EFtpError& e) {
        throw EFtpError("Cannot open the data connection to " + host + ":" + std::to_string(port) +
                        ": " + e.what());
    }
}

asio::ip::tcp::endpoint FtpDataConnection::Listen(const asio::ip::address& local) {
    std::error_code ec;
    m_acceptor.emplace(m_io.Context());
    asio::ip::tcp::endpoint endpoint(local, 0);
    m_acceptor->open(endpoint.protocol(), ec);
    if (!ec)
        m_acceptor->bind(endpoint, ec);
    if (!ec)
        m_acceptor->listen(1, ec);
    if (ec)
        throw EFtpError("Cannot listen for the data connection: " + ec.message());
    return m_acceptor->local_endpoint();
}

void FtpDataConnection::Accept(const asio::ip::address& peer, Clock::time_point deadline) {
    if (!m_acceptor)
        throw EFtpError("No data connection was announced");
    asio::ip::tcp::socket socket(m_io.Context());
    std::error_code error;
    bool done = false;
    m_acceptor->async_accept(socket, [&](const std::error_code& ec) {
        error = ec;
        done = true;
    });
    m_io.Await([&] { return done; }, deadline, [&] { m_acceptor->close(); },
               "The server did not open the data connection (timed out)");
    m_acceptor.reset();
    if (error)
        throw EFtpError("The server did not open the data connection: " + error.message());
    std::error_code ec;
    const auto from = socket.remote_endpoint(ec).address();
    if (ec || from != peer)
        throw EFtpError("Refused a data connection from " + from.to_string() +
                        ", which is not the server");
    m_transport.Adopt(std::move(socket));
}

void FtpDataConnection::Close() {
    m_transport.Close();
    if (m_acceptor) {
        std::error_code ignored;
        m_acceptor->close(ignored);
    }
}

} // namespace tlv
