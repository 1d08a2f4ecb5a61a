#include "download/FtpClient.h"

#include "core/Text.h"
#include "download/FtpDataConnection.h"
#include "download/FtpError.h"
#include "download/FtpProxyLogin.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace tlv {

namespace {

using Clock = FtpIo::Clock;

// Large reads keep the per-chunk cost (a handler, a progress call) small against the bytes.
constexpr std::size_t TransferBufferSize = 256 * 1024;

std::optional<int64_t> parseNumber(std::string_view text) {
    int64_t value = 0;
    if (text.empty())
        return std::nullopt;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": six numbers anywhere in the text.
std::optional<asio::ip::tcp::endpoint> parsePasv(std::string_view text) {
    for (std::size_t start = 0; start < text.size(); ++start) {
        if (text[start] < '0' || text[start] > '9' ||
            (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9'))
            continue;
        std::array<int, 6> parts{};
        std::size_t pos = start;
        int count = 0;
        for (; count < 6; ++count) {
            std::size_t end = pos;
            while (end < text.size() && end - pos < 4 && text[end] >= '0' && text[end] <= '9')
                ++end;
            auto value = parseNumber(text.substr(pos, end - pos));
            if (!value || *value > 255)
                break;
            parts[count] = static_cast<int>(*value);
            if (count < 5) {
                if (end >= text.size() || text[end] != ',')
                    break;
                pos = end + 1;
            }
        }
        if (count < 6)
            continue;
        asio::ip::address_v4::bytes_type bytes{};
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<unsigned char>(parts[i]);
        return asio::ip::tcp::endpoint(asio::ip::address_v4(bytes),
                                       static_cast<uint16_t>(parts[4] * 256 + parts[5]));
    }
    return std::nullopt;
}

// "229 Entering Extended Passive Mode (|||6446|)".
std::optional<uint16_t> parseEpsv(std::string_view text) {
    auto open = text.find('(');
    if (open == std::string_view::npos || open + 4 >= text.size())
        return std::nullopt;
    const char delimiter = text[open + 1];
    if (text[open + 2] != delimiter || text[open + 3] != delimiter)
        return std::nullopt;
    auto end = text.find(delimiter, open + 4);
    if (end == std::string_view::npos)
        return std::nullopt;
    auto port = parseNumber(text.substr(open + 4, end - open - 4));
    if (!port || *port == 0 || *port > 65535)
        return std::nullopt;
    return static_cast<uint16_t>(*port);
}

bool isPrivate(const asio::ip::address_v4& address) {
    auto b = address.to_bytes();
    return address.is_loopback() || b[0] == 10 || (b[0] == 172 && (b[1] & 0xF0) == 16) ||
           (b[0] == 192 && b[1] == 168) || (b[0] == 169 && b[1] == 254);
}

// A server behind NAT often announces its inside address, or none at all; the address we
// reached it at is the one that works.
bool unusablePassiveAddress(const asio::ip::address_v4& announced,
                            const asio::ip::address& controlPeer) {
    if (announced.is_unspecified())
        return true;
    return controlPeer.is_v4() && isPrivate(announced) && !isPrivate(controlPeer.to_v4());
}

// 257 "/some ""quoted"" folder" is current directory
std::optional<std::string> parsePwd(const TFtpReply& reply) {
    std::string_view line = reply.Lines.empty() ? std::string_view{} : reply.Lines.front();
    auto open = line.find('"');
    if (open == std::string_view::npos)
        return std::nullopt;
    std::string path;
    for (std::size_t i = open + 1; i < line.size(); ++i) {
        if (line[i] != '"') {
            path += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
            path += '"';
            ++i;
        } else {
            return path;
        }
    }
    return std::nullopt;
}

bool isTransferFailure(int code) {
    return code == 425 || code == 426 || code == 450 || code == 451 || code == 452 || code == 550 ||
           code == 551 || code == 552;
}

[[noreturn]] void refuse(const TFtpReply& reply) {
    throw EFtpError(reply.Text(), reply.Code);
}

} // namespace

FtpClient::FtpClient(TFtpSettings settings)
    : m_settings(std::move(settings)), m_tls(asio::ssl::context::tls_client),
      m_buffer(TransferBufferSize) {
    // Certificates are not checked: sites use self-signed ones, and the user chose the server.
    m_tls.set_verify_mode(asio::ssl::verify_none);
    SSL_CTX_set_session_cache_mode(m_tls.native_handle(), SSL_SESS_CACHE_CLIENT);
}

FtpClient::~FtpClient() {
    Disconnect();
}

void FtpClient::setState(State state) {
    if (state == State::Disconnected && m_control) {
        m_control->MarkUnusable();
        m_control.reset();
    }
    m_state = state;
}

bool FtpClient::Connected() const {
    return m_state != State::Disconnected && m_control && m_control->Usable();
}

void FtpClient::requireReady() const {
    if (!Connected())
        throw EFtpError("Not connected");
    if (m_state == State::Transferring)
        throw EFtpError("A transfer is running");
}

void FtpClient::Connect() {
    Disconnect();
    try {
        const TFtpRoute route = FtpRouteFor(m_settings);
        const auto deadline = Clock::now() + m_settings.ConnectTimeout;
        m_control = std::make_unique<FtpControl>(m_io, m_settings.ReplyTimeout);
        m_control->Transport().Connect(route.Host, route.Port,
                                       route.Tunnel ? &*route.Tunnel : nullptr, deadline);
        if (m_settings.ImplicitTLS)
            m_control->Transport().StartTls(m_tls, m_settings.Host, nullptr, deadline);
        TFtpReply greeting = m_control->ReadReply();
        while (greeting.Code == 120) // "ready in a few minutes"
            greeting = m_control->ReadReply();
        if (greeting.Kind() != 2)
            refuse(greeting);
        setState(State::Ready);
        login();
    } catch (...) {
        Disconnect();
        throw;
    }
}

void FtpClient::login() {
    FtpProxyLogin(*m_control, m_settings);
    if (m_settings.ImplicitTLS) {
        // Data connections are protected only on request; servers that insist on it refuse
        // transfers otherwise.
        for (const char* command : {"PBSZ 0", "PROT P"}) {
            TFtpReply reply = m_control->Command(command);
            if (reply.Kind() != 2)
                refuse(reply);
        }
    }

    m_features.clear();
    TFtpReply features = m_control->Command("FEAT");
    if (features.Code == 211 && features.Lines.size() > 2)
        for (std::size_t i = 1; i + 1 < features.Lines.size(); ++i)
            m_features.emplace_back(Trim(features.Lines[i]));
    bool knowsClnt = std::any_of(m_features.begin(), m_features.end(), [](const auto& feature) {
        return StartsWithNoCase(feature, "CLNT");
    });
    if (knowsClnt) // what the server answers does not matter
        m_control->Command("CLNT " + m_settings.ClientName + " " + m_settings.ClientVersion);

    TFtpReply type = m_control->Command("TYPE A");
    if (type.Kind() != 2)
        refuse(type);
    m_type = TFtpTransferType::Ascii;
}

void FtpClient::ChangeDir(const std::string& path) {
    requireReady();
    TFtpReply reply = m_control->Command("CWD " + path);
    if (reply.Code != 200 && reply.Code != 250)
        refuse(reply);
}

std::string FtpClient::PrintWorkingDir() {
    requireReady();
    TFtpReply reply = m_control->Command("PWD");
    if (reply.Code != 257)
        refuse(reply);
    auto path = parsePwd(reply);
    if (!path)
        throw EFtpError("Cannot read the folder in the reply: " + reply.Text(), reply.Code);
    return *path;
}

int64_t FtpClient::Size(const std::string& name) {
    requireReady();
    TFtpReply reply = m_control->Command("SIZE " + name);
    if (reply.Code != 213)
        return -1;
    return parseNumber(Trim(reply.Text())).value_or(-1);
}

std::vector<TFtpListEntry> FtpClient::List() {
    std::string listing;
    transfer("LIST",
             [&](const char* data, std::size_t size) {
                 if (listing.size() + size > MaxListingSize)
                     throw EFtpError("The folder listing is too long");
                 listing.append(data, size);
             },
             {});
    return ParseFtpListing(listing);
}

void FtpClient::SetTransferType(TFtpTransferType type) {
    requireReady();
    if (type == m_type)
        return;
    TFtpReply reply = m_control->Command(type == TFtpTransferType::Binary ? "TYPE I" : "TYPE A");
    if (reply.Kind() != 2)
        refuse(reply);
    m_type = type;
}

void FtpClient::Retrieve(const std::string& name, const DataSink& sink,
                         const WorkCallback& onWork) {
    transfer("RETR " + name, sink, onWork);
}

void FtpClient::Delete(const std::string& name) {
    requireReady();
    TFtpReply reply = m_control->Command("DELE " + name);
    if (reply.Code != 250 && reply.Code != 200)
        refuse(reply);
}

void FtpClient::Noop() {
    if (m_state == State::Transferring) {
        // During a transfer many servers answer only after the transfer's own reply, so the
        // data keeps flowing and the answer is matched when it comes. One in flight is enough.
        if (m_controlSending || m_transferError)
            return;
        m_controlSending = true;
        ++m_noopsOwed;
        m_control->AsyncSend("NOOP", [this](std::exception_ptr error) {
            m_controlSending = false;
            if (error)
                failTransfer(error);
        });
        pumpControl();
        return;
    }
    requireReady();
    TFtpReply reply = m_control->Command("NOOP");
    if (reply.Code != 200)
        refuse(reply);
}

void FtpClient::Abort() {
    requireReady();
    try {
        m_control->Send("ABOR");
        // Answers still owed for the broken transfer are skipped; this one is the ABOR's.
        TFtpReply reply = m_control->ReadReply(
            std::min<std::chrono::milliseconds>(m_settings.ReplyTimeout, std::chrono::seconds(10)));
        if (reply.Kind() != 2)
            refuse(reply);
    } catch (...) {
        // The server's view of the transfer is unknown now: no further command is trusted.
        if (m_control)
            m_control->MarkUnusable();
        throw;
    }
}

void FtpClient::Quit(std::chrono::milliseconds replyWait) {
    if (Connected() && m_state != State::Transferring) {
        try {
            m_control->Send("QUIT");
            m_control->ReadReply(replyWait);
        } catch (...) {
            // The session ends either way.
        }
    }
    Disconnect();
}

void FtpClient::Disconnect() {
    setState(State::Disconnected);
}

void FtpClient::openPassive(FtpDataConnection& data) {
    const TFtpRoute route = FtpRouteFor(m_settings);
    const asio::ip::address controlPeer = m_control->Transport().RemoteEndpoint().address();
    std::string host;
    uint16_t port = 0;
    if (!route.Tunnel && controlPeer.is_v6()) {
        TFtpReply reply = m_control->Command("EPSV");
        auto announced = reply.Code == 229 ? parseEpsv(reply.Text()) : std::nullopt;
        if (!announced)
            refuse(reply);
        host = controlPeer.to_string();
        port = *announced;
    } else {
        TFtpReply reply = m_control->Command("PASV");
        if (reply.Code != 227)
            refuse(reply);
        auto announced = parsePasv(reply.Text());
        if (!announced)
            throw EFtpError("Cannot read the passive address: " + reply.Text(), reply.Code);
        const auto address = announced->address().to_v4();
        host = address.to_string();
        port = announced->port();
        if (route.Tunnel) {
            if (address.is_unspecified())
                host = m_settings.Host;
        } else if (unusablePassiveAddress(address, controlPeer)) {
            host = controlPeer.to_string();
        }
    }
    data.Connect(host, port, route.Tunnel ? &*route.Tunnel : nullptr,
                 Clock::now() + m_settings.ConnectTimeout);
}

void FtpClient::openActive(FtpDataConnection& data) {
    const asio::ip::address local = m_control->Transport().LocalEndpoint().address();
    const auto endpoint = data.Listen(local);
    std::string command;
    if (local.is_v4()) {
        auto b = local.to_v4().to_bytes();
        command = "PORT " + std::to_string(b[0]) + "," + std::to_string(b[1]) + "," +
                  std::to_string(b[2]) + "," + std::to_string(b[3]) + "," +
                  std::to_string(endpoint.port() >> 8) + "," +
                  std::to_string(endpoint.port() & 0xFF);
    } else {
        command = "EPRT |2|" + local.to_string() + "|" + std::to_string(endpoint.port()) + "|";
    }
    TFtpReply reply = m_control->Command(command);
    if (reply.Kind() != 2)
        refuse(reply);
}

void FtpClient::transfer(const std::string& command, const DataSink& sink,
                         const WorkCallback& onWork) {
    requireReady();
    FtpControl::CheckCommand(command);
    FtpDataConnection data(m_io);
    // An HTTP tunnel only goes outwards: the server cannot connect back through it.
    const bool passive = m_settings.Passive || FtpRouteFor(m_settings).Tunnel.has_value();
    if (passive)
        openPassive(data);
    else
        openActive(data);

    TFtpReply reply = m_control->Command(command);
    if (reply.Kind() == 2) // some servers answer an empty listing without a data connection
        return;
    if (reply.Kind() != 1)
        refuse(reply);

    m_data = &data;
    m_finalReplyOwed = true;
    m_noopsOwed = 0;
    m_transferError = nullptr;
    setState(State::Transferring);
    try {
        const auto deadline = Clock::now() + m_settings.ConnectTimeout;
        if (!passive)
            data.Accept(m_control->Transport().RemoteEndpoint().address(), deadline);
        if (m_settings.ImplicitTLS) {
            if (!m_tlsSession)
                keepTlsSession(m_control->Transport());
            data.Transport().StartTls(m_tls, m_settings.Host, m_tlsSession.get(), deadline);
        }
        stream(data, sink, onWork);
        keepTlsSession(data.Transport());
    } catch (...) {
        keepTlsSession(data.Transport());
        data.Close();
        settleControl();
        if (m_control)
            m_control->OweReplies((m_finalReplyOwed ? 1 : 0) + m_noopsOwed);
        m_data = nullptr;
        m_finalReplyOwed = false;
        m_noopsOwed = 0;
        setState(State::Ready);
        throw;
    }
    m_data = nullptr;
    setState(State::Ready);
}

void FtpClient::keepTlsSession(const FtpTransport& transport) {
    if (SSL_SESSION* session = transport.TakeTlsSession())
        m_tlsSession.reset(session);
}

void FtpClient::stream(FtpDataConnection& data, const DataSink& sink, const WorkCallback& onWork) {
    int64_t total = 0;
    for (;;) {
        std::error_code error;
        std::size_t count = 0;
        bool done = false;
        data.Transport().AsyncReadSome(asio::buffer(m_buffer),
                                       [&](const std::error_code& ec, std::size_t n) {
                                           error = ec;
                                           count = n;
                                           done = true;
                                       });
        pumpControl();
        m_io.Await([&] { return done; }, Clock::now() + m_settings.ReplyTimeout,
                   [&] { data.Close(); }, "The data connection timed out");
        if (m_transferError)
            std::rethrow_exception(m_transferError);
        if (error == asio::error::eof)
            break;
        if (error)
            throw EFtpError("Data connection: " + error.message());
        sink(m_buffer.data(), count);
        total += static_cast<int64_t>(count);
        if (onWork)
            onWork(total);
    }
    data.Close();

    pumpControl();
    try {
        m_io.Await([&] { return m_transferError || (!m_finalReplyOwed && m_noopsOwed == 0); },
                   Clock::now() + m_settings.ReplyTimeout, [&] { m_control->Transport().Cancel(); },
                   "No reply from the server after the transfer (timed out)");
    } catch (const EFtpInterrupted&) {
        throw;
    } catch (const EFtpError&) {
        m_control->MarkUnusable();
        throw;
    }
    if (m_transferError)
        std::rethrow_exception(m_transferError);
}

void FtpClient::pumpControl() {
    if (m_controlReading || m_transferError || (!m_finalReplyOwed && m_noopsOwed == 0))
        return;
    m_controlReading = true;
    m_control->AsyncReadReply([this](std::exception_ptr error, TFtpReply reply) {
        m_controlReading = false;
        if (error) {
            try {
                std::rethrow_exception(error);
            } catch (const EFtpInterrupted&) {
                return; // we cancelled the read ourselves
            } catch (...) {
            }
            m_control->MarkUnusable();
            return failTransfer(error);
        }
        onTransferReply(reply);
        pumpControl();
    });
}

void FtpClient::onTransferReply(const TFtpReply& reply) {
    if (reply.Kind() == 1)
        return; // a further preliminary reply
    if (reply.Code == 200 && m_noopsOwed > 0) {
        --m_noopsOwed;
        return;
    }
    // A failure while NOOPs are owed answers the transfer when its code is one transfers
    // fail with, the NOOP otherwise; either way the transfer fails.
    const bool transferFailure =
        reply.Kind() >= 4 && (m_noopsOwed == 0 || isTransferFailure(reply.Code));
    if (m_finalReplyOwed && (reply.Kind() == 2 || transferFailure)) {
        m_finalReplyOwed = false;
        if (reply.Kind() != 2)
            failTransfer(std::make_exception_ptr(EFtpError(reply.Text(), reply.Code)));
        return;
    }
    if (m_noopsOwed > 0) {
        --m_noopsOwed;
        failTransfer(std::make_exception_ptr(EFtpError(reply.Text(), reply.Code)));
        return;
    }
    failTransfer(std::make_exception_ptr(
        EFtpError("Unexpected reply from the server: " + reply.Text(), reply.Code)));
}

void FtpClient::failTransfer(std::exception_ptr error) {
    if (!m_transferError)
        m_transferError = error;
    // The data read in progress ends with it, so the transfer fails now, not at its end.
    if (m_data)
        m_data->Close();
}

void FtpClient::settleControl() {
    if (!m_control || (!m_controlReading && !m_controlSending))
        return;
    if (m_controlSending) // half a command may be out
        m_control->MarkUnusable();
    m_control->Transport().Cancel();
    try {
        m_io.Await([&] { return !m_controlReading && !m_controlSending; },
                   Clock::now() + std::chrono::seconds(5), [&] { m_control->MarkUnusable(); });
    } catch (...) {
        m_control->MarkUnusable();
    }
}

} // namespace tlv
