#include "schedule/EngineLoop.h"

#include "schedule/ScheduleRunner.h"
#include "sites/KeltroSite.h"
#include "sites/SiteManager.h"
#include "sites/Queues.h"

#include <algorithm>
#include <exception>

namespace tlv {

void QueueTick() {
    BackupQueue().Process();
    DownloadQueue().Process();
}

void ScheduleTick() { CheckSchedules(); }

TEngineLoop::TEngineLoop(bool runSchedule) : m_runSchedule(runSchedule) {
    SetUIDispatcher(&m_dispatcher);
    const auto now = std::chrono::steady_clock::now();
    m_nextQueueTick = now + QueueInterval;
    m_nextScheduleTick = now; // the schedule is checked as soon as the loop runs
}

TEngineLoop::~TEngineLoop() {
    // The workers hold on to this loop's dispatcher: stop them all, release any that is blocked
    // handing over an event, and wait for every one before the dispatcher goes.
    if (TKeltroSiteManager* manager = TKeltroSiteManager::Existing())
        for (TKeltroSite& site : manager->Sites())
            site.AbandonWorkers();
    m_dispatcher.Shutdown();
    JoinAbandonedWorkers();
    SetUIDispatcher(nullptr);
}

bool TEngineLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + timeout;
    for (;;) {
        const auto now = clock::now();
        if (m_queueTimerOn && now >= m_nextQueueTick) {
            m_queueTimerOn = false;
            try {
                QueueTick();
                m_queueTimerOn = true;
            } catch (const std::exception& e) {
                m_lastTickError = e.what();
            }
            m_nextQueueTick = clock::now() + QueueInterval;
        }
        if (m_runSchedule && m_scheduleTimerOn && now >= m_nextScheduleTick) {
            m_scheduleTimerOn = false;
            try {
                ScheduleTick();
                m_scheduleTimerOn = true;
            } catch (const std::exception& e) {
                m_lastTickError = e.what();
            }
            m_nextScheduleTick = clock::now() + ScheduleInterval;
        }
        if (done())
            return true;
        auto wakeAt = deadline;
        if (m_queueTimerOn)
            wakeAt = std::min(wakeAt, m_nextQueueTick);
        if (m_runSchedule && m_scheduleTimerOn)
            wakeAt = std::min(wakeAt, m_nextScheduleTick);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(wakeAt - clock::now(), clock::duration::zero()));
        if (m_dispatcher.WaitFor(done, wait))
            return true;
        if (clock::now() >= deadline)
            return done();
    }
}

} // namespace tlv
