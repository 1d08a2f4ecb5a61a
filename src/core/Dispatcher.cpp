#include "core/Dispatcher.h"

#include <atomic>
#include <exception>
#include <stdexcept>

namespace tlv {

namespace {
std::atomic<IUIDispatcher*> g_dispatcher{nullptr};
}

void SetUIDispatcher(IUIDispatcher* dispatcher) {
    g_dispatcher = dispatcher;
}

IUIDispatcher& UIDispatcher() {
    IUIDispatcher* dispatcher = g_dispatcher.load();
    if (!dispatcher)
        throw std::logic_error("No UI dispatcher has been installed");
    return *dispatcher;
}

namespace {
// How long each side polls before it sleeps. A worker reporting progress hands events over in
// quick succession; waking a sleeping thread costs tens of microseconds each way, polling for a
// moment costs none of that, and a quiet loop still sleeps almost at once.
constexpr auto kSpinTime = std::chrono::microseconds(50);

template <typename Ready> bool spinUntil(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + kSpinTime;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::yield();
    }
    return true;
}
} // namespace

struct TLoopDispatcher::Pending {
    const std::function<void()>* call = nullptr;
    std::exception_ptr error;
    std::atomic<bool> finished{false};
    bool ran = false;
    std::condition_variable done;
};

TLoopDispatcher::TLoopDispatcher() : m_uiThread(std::this_thread::get_id()) {}

TLoopDispatcher::~TLoopDispatcher() {
    Shutdown();
}

bool TLoopDispatcher::IsUIThread() const {
    return std::this_thread::get_id() == m_uiThread;
}

bool TLoopDispatcher::Synchronize(const std::function<void()>& call) {
    if (IsUIThread()) {
        call();
        return true;
    }
    auto pending = std::make_shared<Pending>();
    pending->call = &call;
    {
        std::lock_guard lock(m_mutex);
        if (m_shutdown)
            return false;
        m_queue.push_back(pending);
        m_queued = m_queue.size();
    }
    m_wake.notify_all();
    spinUntil([&] { return pending->finished.load(); });
    std::unique_lock lock(m_mutex);
    pending->done.wait(lock, [&] { return pending->finished.load(); });
    if (pending->error)
        std::rethrow_exception(pending->error);
    return pending->ran;
}

int TLoopDispatcher::ProcessPending() {
    int count = 0;
    std::unique_lock lock(m_mutex);
    while (!m_queue.empty()) {
        auto pending = m_queue.front();
        m_queue.pop_front();
        m_queued = m_queue.size();
        lock.unlock();
        try {
            (*pending->call)();
        } catch (...) {
            pending->error = std::current_exception();
        }
        lock.lock();
        pending->ran = true;
        pending->finished = true;
        pending->done.notify_all();
        ++count;
    }
    return count;
}

bool TLoopDispatcher::WaitFor(const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        ProcessPending();
        if (done())
            return true;
        if (spinUntil([&] { return m_queued.load() > 0; }))
            continue;
        std::unique_lock lock(m_mutex);
        // The condition is polled as well as signalled: it may depend on state (a thread that
        // ended) that nobody announces through this dispatcher.
        const auto wakeAt =
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
        m_wake.wait_until(lock, wakeAt, [&] { return !m_queue.empty() || m_woken; });
        m_woken = false;
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            ProcessPending();
            return done();
        }
    }
}

void TLoopDispatcher::RunFor(std::chrono::milliseconds duration) {
    WaitFor([] { return false; }, duration);
}

void TLoopDispatcher::Wake() {
    std::lock_guard lock(m_mutex);
    m_woken = true;
    m_wake.notify_all();
}

void TLoopDispatcher::Shutdown() {
    std::lock_guard lock(m_mutex);
    m_shutdown = true;
    for (auto& pending : m_queue) {
        pending->finished = true;
        pending->done.notify_all();
    }
    m_queue.clear();
    m_queued = 0;
}

} // namespace tlv
