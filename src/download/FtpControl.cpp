#include "download/FtpControl.h"

#include "download/FtpError.h"

#include <asio/post.hpp>

namespace tlv {

FtpControl::FtpControl(FtpIo& io, std::chrono::milliseconds replyTimeout)
    : m_io(io), m_transport(io), m_replyTimeout(replyTimeout) {}

void FtpControl::MarkUnusable() {
    m_usable = false;
    m_transport.Close();
}

void FtpControl::requireUsable() const {
    if (!Usable())
        throw EFtpError("Not connected");
}

void FtpControl::CheckCommand(const std::string& command) {
    if (command.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw EFtpError("Refusing to send a command that holds a line break");
}

TFtpReply FtpControl::Command(const std::string& command) {
    Send(command);
    return ReadReply();
}

void FtpControl::Send(const std::string& command) {
    CheckCommand(command);
    requireUsable();
    try {
        m_transport.Write(command + "\r\n", Clock::now() + m_replyTimeout);
    } catch (const EFtpError&) {
        // Part of the line may be out: the server's view of the session is unknown.
        MarkUnusable();
        throw;
    }
}

TFtpReply FtpControl::ReadReply() {
    return ReadReply(m_replyTimeout);
}

TFtpReply FtpControl::ReadReply(std::chrono::milliseconds timeout) {
    requireUsable();
    std::exception_ptr error;
    TFtpReply reply;
    bool done = false;
    AsyncReadReply([&](std::exception_ptr e, TFtpReply r) {
        error = e;
        reply = std::move(r);
        done = true;
    });
    try {
        m_io.Await([&] { return done; }, Clock::now() + timeout, [&] { m_transport.Cancel(); },
                   "No reply from the server (timed out)");
    } catch (const EFtpInterrupted&) {
        ++m_repliesToSkip; // it will still come
        throw;
    } catch (const EFtpError&) {
        MarkUnusable();
        throw;
    }
    if (error) {
        MarkUnusable();
        std::rethrow_exception(error);
    }
    return reply;
}

void FtpControl::AsyncSend(const std::string& command, SendHandler handler) {
    try {
        CheckCommand(command);
        requireUsable();
    } catch (...) {
        asio::post(m_io.Context(), [handler, error = std::current_exception()] { handler(error); });
        return;
    }
    m_outgoing = command + "\r\n";
    m_transport.AsyncWrite(asio::buffer(m_outgoing),
                           [this, handler](const std::error_code& ec, std::size_t) {
                               if (!ec)
                                   return handler(nullptr);
                               MarkUnusable();
                               handler(std::make_exception_ptr(EFtpError(ec.message())));
                           });
}

void FtpControl::AsyncReadReply(ReplyHandler handler) {
    // Replies already received complete from the event loop too, never inside this call, so
    // callers see one behaviour.
    try {
        while (auto reply = takeReply()) {
            if (m_repliesToSkip > 0) {
                --m_repliesToSkip;
                continue;
            }
            asio::post(m_io.Context(), [handler, r = std::move(*reply)]() mutable {
                handler(nullptr, std::move(r));
            });
            return;
        }
    } catch (...) {
        asio::post(m_io.Context(),
                   [handler, error = std::current_exception()] { handler(error, {}); });
        return;
    }
    readMore(std::move(handler));
}

void FtpControl::readMore(ReplyHandler handler) {
    m_transport.AsyncReadSome(
        asio::buffer(m_chunk), [this, handler](const std::error_code& ec, std::size_t n) {
            if (ec == asio::error::operation_aborted)
                return handler(std::make_exception_ptr(EFtpInterrupted()), {});
            if (ec) {
                std::string reason =
                    ec == asio::error::eof ? "Connection closed by the server" : ec.message();
                return handler(std::make_exception_ptr(EFtpError(reason)), {});
            }
            m_received.append(m_chunk.data(), n);
            try {
                while (auto reply = takeReply()) {
                    if (m_repliesToSkip > 0) {
                        --m_repliesToSkip;
                        continue;
                    }
                    return handler(nullptr, std::move(*reply));
                }
            } catch (...) {
                return handler(std::current_exception(), {});
            }
            readMore(handler);
        });
}

std::optional<TFtpReply> FtpControl::takeReply() {
    for (;;) {
        auto end = m_received.find('\n');
        if ((end == std::string::npos ? m_received.size() : end) > MaxLineLength)
            throw EFtpError("The server sent a line that is too long");
        if (end == std::string::npos)
            return std::nullopt;
        std::string_view line(m_received.data(), end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        auto reply = m_assembler.Feed(line);
        m_received.erase(0, end + 1);
        if (reply)
            return reply;
    }
}

} // namespace tlv
