#pragma once

#include "download/FtpReply.h"
#include "download/FtpTransport.h"

#include <array>
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace tlv {

// The control connection: command lines out, complete replies in. It keeps count of replies
// the server still owes to commands whose answers nobody waits for any more (an interrupted
// wait, a transfer that ended early) and skips them, so the next reply read is the answer to
// the next command. A connection whose replies can no longer be matched (a reply that timed
// out, a broken connection) is closed and marked unusable. Session thread only.
class FtpControl {
public:
    using Clock = FtpIo::Clock;
    // `error` is null on success.
    using ReplyHandler = std::function<void(std::exception_ptr error, TFtpReply reply)>;
    using SendHandler = std::function<void(std::exception_ptr error)>;

    static constexpr std::size_t MaxLineLength = 64 * 1024;

    FtpControl(FtpIo& io, std::chrono::milliseconds replyTimeout);

    FtpTransport& Transport() { return m_transport; }
    bool Usable() const { return m_usable && m_transport.IsOpen(); }
    void MarkUnusable();

    // Sends one command and waits for its reply. Raises EFtpError for a broken connection or a
    // missing reply (the connection is then unusable) and EFtpInterrupted.
    TFtpReply Command(const std::string& command);
    void Send(const std::string& command);
    TFtpReply ReadReply();
    TFtpReply ReadReply(std::chrono::milliseconds timeout);

    // For use while a transfer runs: the handlers run from the session's event loop.
    void AsyncSend(const std::string& command, SendHandler handler);
    void AsyncReadReply(ReplyHandler handler);

    // Raises EFtpError for a command holding a line break, which would smuggle a second
    // command onto the connection.
    static void CheckCommand(const std::string& command);

    // Replies the server will still send for commands nobody waits on now.
    void OweReplies(int count) { m_repliesToSkip += count; }
    int RepliesOwed() const { return m_repliesToSkip; }

private:
    void readMore(ReplyHandler handler);
    // The next complete reply in the received bytes, if any; raises EFtpError for a line that
    // is too long or malformed.
    std::optional<TFtpReply> takeReply();
    void requireUsable() const;

    FtpIo& m_io;
    FtpTransport m_transport;
    std::chrono::milliseconds m_replyTimeout;
    FtpReplyAssembler m_assembler;
    std::string m_received;
    std::array<char, 4096> m_chunk{};
    std::string m_outgoing; // the command an AsyncSend is writing
    int m_repliesToSkip = 0;
    bool m_usable = true;
};

} // namespace tlv
