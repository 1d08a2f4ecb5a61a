#include "download/FtpIo.h"

#include "download/FtpError.h"

#include <asio/post.hpp>

namespace tlv {

void FtpIo::Await(const std::function<bool()>& done, Clock::time_point deadline,
                  const std::function<void()>& cancel, const std::string& timeoutMessage,
                  bool interruptible) {
    if (m_broken)
        throw EFtpError("The connection is no longer usable");
    m_context.restart();
    while (!done()) {
        if (m_interrupted && interruptible) {
            m_interrupted = false;
            stop(done, cancel);
            throw EFtpInterrupted();
        }
        if (Clock::now() >= deadline) {
            stop(done, cancel);
            throw EFtpError(timeoutMessage);
        }
        if (m_context.run_one_until(deadline) == 0 && m_context.stopped()) {
            // Out of work while not done: nothing would ever complete the wait.
            stop(done, cancel);
            throw EFtpError("Internal error: no operation to wait for");
        }
    }
}

void FtpIo::stop(const std::function<bool()>& done, const std::function<void()>& cancel) {
    cancel();
    // Cancelled operations complete at once with operation_aborted; the bound only guards
    // against a handler that never comes, after which none may run (they refer to callers'
    // frames that are gone by then).
    m_context.restart();
    const auto limit = Clock::now() + std::chrono::seconds(5);
    while (!done() && Clock::now() < limit)
        if (m_context.run_one_until(limit) == 0 && m_context.stopped())
            break;
    if (!done()) {
        m_broken = true;
        m_context.stop();
    }
}

void FtpIo::Interrupt() {
    asio::post(m_context, [this] { m_interrupted = true; });
}

} // namespace tlv
