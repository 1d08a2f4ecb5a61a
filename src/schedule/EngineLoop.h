#pragma once

#include "core/Dispatcher.h"

#include <chrono>
#include <functional>

namespace tlv {

// The engine's two timers as entry points: the queue tick runs both queues (every second, so a
// raised limit takes effect without any other event), the schedule tick queues due backups
// (every three seconds). A front end calls them from its own timers; neither may overlap itself.
// UI thread only.
void QueueTick();
void ScheduleTick();

// Drives the engine without any window: the UI dispatcher is a plain loop on the calling thread,
// and the two ticks run at their intervals while it waits. Used by the command-line program and
// the tests. Installs its dispatcher as the process's for its lifetime.
class TEngineLoop {
public:
    explicit TEngineLoop(bool runSchedule = true);
    ~TEngineLoop();
    TEngineLoop(const TEngineLoop&) = delete;
    TEngineLoop& operator=(const TEngineLoop&) = delete;

    TLoopDispatcher& Dispatcher() { return m_dispatcher; }

    // Runs handed-over calls and the ticks until `done` returns true or `timeout` passes;
    // returns `done()`. A tick that raises stops that timer, as a failing handler stops a
    // window's timer; the error is kept in LastTickError().
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Switches the schedule tick on or off: a front end that is stopping its work must not have
    // the schedule queue new backups meanwhile.
    void SetRunSchedule(bool on) { m_runSchedule = on; }

    std::chrono::milliseconds QueueInterval{1000};
    std::chrono::milliseconds ScheduleInterval{3000};

    const std::string& LastTickError() const { return m_lastTickError; }

private:
    TLoopDispatcher m_dispatcher;
    bool m_runSchedule;
    bool m_queueTimerOn = true;
    bool m_scheduleTimerOn = true;
    std::chrono::steady_clock::time_point m_nextQueueTick;
    std::chrono::steady_clock::time_point m_nextScheduleTick;
    std::string m_lastTickError;
};

} // namespace tlv
