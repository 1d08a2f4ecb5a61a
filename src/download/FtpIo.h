#pragma once

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <string>

namespace tlv {

// The event loop of one FTP session. Its sockets belong to the session thread, which runs
// their asynchronous operations here, one waiting operation at a time, each with a deadline.
// Other threads only ask it to stop (Interrupt); the session thread then closes what it was
// waiting on itself.
class FtpIo {
public:
    using Clock = std::chrono::steady_clock;

    FtpIo() = default;
    FtpIo(const FtpIo&) = delete;
    FtpIo& operator=(const FtpIo&) = delete;

    asio::io_context& Context() { return m_context; }

    // Session thread. Runs completion handlers until `done()` holds. At the deadline, or when
    // an interruption arrives, it calls `cancel` (which must close or cancel what the started
    // operations wait on), lets the released handlers finish, and raises EFtpError with
    // `timeoutMessage` or EFtpInterrupted. A wait that is not `interruptible` (sending a
    // command line, which must not be cut in half) leaves an interruption for the next one.
    void Await(const std::function<bool()>& done, Clock::time_point deadline,
               const std::function<void()>& cancel,
               const std::string& timeoutMessage = "Connection timed out",
               bool interruptible = true);

    // Any thread. Stops the interruptible wait the session thread is in now, or else the next
    // one; one interruption stops one wait.
    void Interrupt();

private:
    void stop(const std::function<bool()>& done, const std::function<void()>& cancel);

    asio::io_context m_context{1};
    bool m_interrupted = false; // session thread only: set by a handler Interrupt posts
    bool m_broken = false;      // a cancelled operation never finished; no handler may run again
};

} // namespace tlv
