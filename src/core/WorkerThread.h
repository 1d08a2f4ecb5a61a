#pragma once

#include "core/Dispatcher.h"

#include <atomic>
#include <functional>
#include <thread>

namespace tlv {

// The common frame of the backup and download workers: a run on a thread of its own that hands
// every event to the UI thread and waits for it. The holder owns the object: it starts the run,
// can ask whether the run has ended, and joins it. The run frees its connections and files
// itself when it ends; the object (with its results) stays until the holder lets it go.
class TWorkerThread {
public:
    explicit TWorkerThread(IUIDispatcher& ui) : m_ui(ui) {}
    // Derived classes call Join() in their own destructor, before their members go.
    virtual ~TWorkerThread();
    TWorkerThread(const TWorkerThread&) = delete;
    TWorkerThread& operator=(const TWorkerThread&) = delete;

    // UI thread. Starts the run; raises std::system_error when no thread can be created.
    void Start();
    bool Started() const { return m_started.load(); }
    // Any thread. True once the run has returned, after its last event was handed over.
    bool Ended() const { return m_ended.load(); }
    // Waits for the thread to finish. A UI thread must first wait for Ended() while processing
    // its dispatcher (TLoopDispatcher::WaitFor or the GUI's equivalent); otherwise a worker that
    // is handing over its last event and the UI thread would wait on each other.
    void Join();

protected:
    // The run. Exceptions must not escape it; any that does is swallowed so the process lives.
    virtual void Execute() = 0;

    // Worker thread. Hands `call` to the UI thread and waits until it has run. Returns false
    // (without running it) once the UI side has shut down.
    bool Synchronize(const std::function<void()>& call) { return m_ui.Synchronize(call); }
    IUIDispatcher& UI() const { return m_ui; }

private:
    IUIDispatcher& m_ui;
    std::thread m_thread;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_ended{false};
};

} // namespace tlv
