#include "download/FtpTransport.h"

#include "download/FtpError.h"

#include <asio/connect.hpp>
#include <asio/write.hpp>
#include <openssl/evp.h>

namespace tlv {

namespace {

std::string base64(std::string_view data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(data.data()),
                            static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string hostPort(const std::string& host, uint16_t port) {
    bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// asio's messages are the system's ("Connection refused"), which is what a log line needs.
std::string describe(const std::error_code& ec) {
    if (ec == asio::error::eof)
        return "Connection closed by the server";
    return ec.message();
}

} // namespace

FtpTransport::FtpTransport(FtpIo& io) : m_io(io), m_socket(io.Context()) {}

FtpTransport::~FtpTransport() {
    Close();
}

void FtpTransport::Connect(const std::string& host, uint16_t port, const TFtpHttpTunnel* tunnel,
                           Clock::time_point deadline) {
    Close();
    m_tls.reset();
    const std::string& connectHost = tunnel ? tunnel->Host : host;
    const uint16_t connectPort = tunnel ? tunnel->Port : port;

    asio::ip::tcp::resolver resolver(m_io.Context());
    asio::ip::tcp::resolver::results_type endpoints;
    std::error_code error;
    bool done = false;
    resolver.async_resolve(connectHost, std::to_string(connectPort),
                           [&](const std::error_code& ec, auto results) {
                               error = ec;
                               endpoints = std::move(results);
                               done = true;
                           });
    m_io.Await([&] { return done; }, deadline, [&] { resolver.cancel(); });
    if (error)
        throw EFtpError(connectHost + ": " + describe(error));

    done = false;
    asio::async_connect(m_socket, endpoints, [&](const std::error_code& ec, const auto&) {
        error = ec;
        done = true;
    });
    m_io.Await([&] { return done; }, deadline, [&] { Close(); });
    if (error) {
        Close();
        throw EFtpError(describe(error));
    }
    m_socket.set_option(asio::ip::tcp::no_delay(true));
    if (tunnel)
        openTunnel(host, port, *tunnel, deadline);
}

void FtpTransport::openTunnel(const std::string& host, uint16_t port, const TFtpHttpTunnel& tunnel,
                              Clock::time_point deadline) {
    const std::string target = hostPort(host, port);
    std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (!tunnel.Username.empty())
        request += "Proxy-Authorization: Basic " + base64(tunnel.Username + ":" + tunnel.Password) +
                   "\r\n";
    request += "\r\n";
    Write(request, deadline);

    // One byte at a time: the tunnelled server may speak right behind the proxy's answer, and
    // those bytes belong to whoever reads the stream next.
    std::string head;
    char byte = 0;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (head.size() >= 16384) {
            Close();
            throw EFtpError("The HTTP proxy's answer is too long");
        }
        std::error_code error;
        std::size_t count = 0;
        bool done = false;
        AsyncReadSome(asio::buffer(&byte, 1), [&](const std::error_code& ec, std::size_t n) {
            error = ec;
            count = n;
            done = true;
        });
        m_io.Await([&] { return done; }, deadline, [&] { Close(); });
        if (error) {
            Close();
            throw EFtpError("HTTP proxy: " + describe(error));
        }
        if (count == 1)
            head += byte;
    }
    // "HTTP/1.1 200 Connection established"
    auto lineEnd = head.find("\r\n");
    std::string status = head.substr(0, lineEnd);
    auto space = status.find(' ');
    if (status.compare(0, 5, "HTTP/") != 0 || space == std::string::npos ||
        status.size() < space + 4 || status[space + 1] != '2') {
        Close();
        throw EFtpError("The HTTP proxy refused the connection to " + target + ": " + status);
    }
}

void FtpTransport::Adopt(asio::ip::tcp::socket socket) {
    Close();
    m_tls.reset();
    m_socket = std::move(socket);
    m_socket.set_option(asio::ip::tcp::no_delay(true));
}

void FtpTransport::StartTls(asio::ssl::context& context, const std::string& serverName,
                            SSL_SESSION* reuse, Clock::time_point deadline) {
    m_tls = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(m_socket, context);
    SSL* ssl = m_tls->native_handle();
    asio::error_code parsed;
    asio::ip::make_address(serverName, parsed);
    if (parsed && !serverName.empty()) // names only; an address is no server name
        SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(serverName.c_str()));
    if (reuse)
        SSL_set_session(ssl, reuse);

    std::error_code error;
    bool done = false;
    m_tls->async_handshake(asio::ssl::stream_base::client, [&](const std::error_code& ec) {
        error = ec;
        done = true;
    });
    m_io.Await([&] { return done; }, deadline, [&] { Close(); });
    if (error) {
        Close();
        throw EFtpError("TLS handshake failed: " + describe(error));
    }
}

SSL_SESSION* FtpTransport::TakeTlsSession() const {
    SSL_SESSION* session = m_tls ? SSL_get_session(m_tls->native_handle()) : nullptr;
    if (!session || !SSL_SESSION_is_resumable(session))
        return nullptr;
    // A copy: OpenSSL marks a connection's own session unusable when the connection ends
    // without a TLS shutdown, as data connections often do.
    return SSL_SESSION_dup(session);
}

bool FtpTransport::TlsSessionReused() const {
    return m_tls && SSL_session_reused(m_tls->native_handle()) == 1;
}

asio::ip::tcp::endpoint FtpTransport::LocalEndpoint() const {
    std::error_code ec;
    return m_socket.local_endpoint(ec);
}

asio::ip::tcp::endpoint FtpTransport::RemoteEndpoint() const {
    std::error_code ec;
    return m_socket.remote_endpoint(ec);
}

void FtpTransport::AsyncReadSome(asio::mutable_buffer buffer, Handler handler) {
    auto complete = [handler = std::move(handler)](std::error_code ec, std::size_t n) {
        // Many servers end data connections without a close_notify; what was sent is
        // checked against the transfer's final reply and the file size instead.
        if (ec == asio::ssl::error::stream_truncated)
            ec = asio::error::eof;
        handler(ec, n);
    };
    if (m_tls)
        m_tls->async_read_some(buffer, std::move(complete));
    else
        m_socket.async_read_some(buffer, std::move(complete));
}

void FtpTransport::AsyncWrite(asio::const_buffer buffer, Handler handler) {
    if (m_tls)
        asio::async_write(*m_tls, buffer, std::move(handler));
    else
        asio::async_write(m_socket, buffer, std::move(handler));
}

void FtpTransport::Write(std::string_view data, Clock::time_point deadline,
                         const std::string& timeoutMessage) {
    std::error_code error;
    bool done = false;
    AsyncWrite(asio::buffer(data), [&](const std::error_code& ec, std::size_t) {
        error = ec;
        done = true;
    });
    m_io.Await([&] { return done; }, deadline, [&] { Close(); }, timeoutMessage, false);
    if (error) {
        Close();
        throw EFtpError(describe(error));
    }
}

void FtpTransport::Cancel() {
    std::error_code ignored;
    m_socket.cancel(ignored);
}

void FtpTransport::Close() {
    std::error_code ignored;
    m_socket.close(ignored);
}

} // namespace tlv
