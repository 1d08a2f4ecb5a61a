#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tlv {

// The one road from a worker thread to the UI thread. Sites, the database and the windows live
// on the UI thread; a worker hands each event over and waits until it has run, so the handler
// sees the worker's data unchanged while it runs.
class IUIDispatcher {
public:
    virtual ~IUIDispatcher() = default;

    // Any thread. Runs `call` on the UI thread and returns when it has run; runs it at once when
    // called on the UI thread. An exception thrown by `call` is passed back to the caller.
    // Returns false without running `call` once the dispatcher has been shut down, so a worker
    // never waits for a UI thread that is gone.
    virtual bool Synchronize(const std::function<void()>& call) = 0;

    // Any thread.
    virtual bool IsUIThread() const = 0;

    // UI thread. Keeps running handed-over calls until `done` returns true or the timeout
    // passes; returns `done()`. Every wait of the UI thread for a worker goes through here, so a
    // worker blocked handing over its last event is never waited on in turn.
    virtual bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) = 0;
};

// The process's dispatcher, installed by the front end (desktop, command line, tests) before
// any site starts a worker. SetUIDispatcher(nullptr) removes it.
void SetUIDispatcher(IUIDispatcher* dispatcher);
// Raises std::logic_error when none is installed.
IUIDispatcher& UIDispatcher();

// A dispatcher run by a plain loop on the thread that created it: the headless driver, the
// command-line program and the tests. The owning thread calls ProcessPending or WaitFor to run
// the calls the workers hand over.
class TLoopDispatcher : public IUIDispatcher {
public:
    TLoopDispatcher();
    ~TLoopDispatcher() override;

    bool Synchronize(const std::function<void()>& call) override;
    bool IsUIThread() const override;

    // UI thread. Runs every call waiting now; returns how many ran.
    int ProcessPending();

    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) override;

    // UI thread. Runs handed-over calls for the given time.
    void RunFor(std::chrono::milliseconds duration);

    // Any thread. Wakes a WaitFor/RunFor early so it can re-check its condition.
    void Wake();

    // UI thread. Refuses further calls and releases every worker waiting in Synchronize
    // (their calls do not run).
    void Shutdown();

private:
    struct Pending;

    std::thread::id m_uiThread;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::shared_ptr<Pending>> m_queue;
    std::atomic<size_t> m_queued{0}; // m_queue.size(), readable without the lock
    bool m_shutdown = false;
    bool m_woken = false;
};

} // namespace tlv
