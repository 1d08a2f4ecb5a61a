#include "sites/Queues.h"

#include "core/Convert.h"
#include "sites/KeltroSite.h"
#include "storage/Options.h"

#include <algorithm>

namespace tlv {

std::recursive_mutex& QueueLock() {
    static std::recursive_mutex lock;
    return lock;
}

TKeltroBackupQueue& BackupQueue() {
    static TKeltroBackupQueue queue;
    return queue;
}

TKeltroDownloadQueue& DownloadQueue() {
    static TKeltroDownloadQueue queue;
    return queue;
}

void TKeltroQueue::Enqueue(TKeltroSite& site) {
    {
        std::lock_guard lock(QueueLock());
        m_waiting.push_back(&site);
    }
    Process();
}

void TKeltroQueue::Remove(TKeltroSite& site) {
    std::lock_guard lock(QueueLock());
    if (m_waiting.empty())
        return;
    std::erase(m_waiting, &site);
    Process();
}

void TKeltroQueue::Process() {
    std::lock_guard lock(QueueLock());
    const int limit =
        StrToInt(TOptionsRegistry::Instance().ReadOption(m_sizeOptionKey, "2"));
    while (!m_waiting.empty() && std::ssize(m_running) < limit) {
        TKeltroSite* site = m_waiting.front();
        m_waiting.pop_front();
        const TSiteStatus status = site->Metadata().Status;
        // A site aborted or otherwise changed since it was queued leaves without starting.
        if (status != TSiteStatus::BackupQueued && status != TSiteStatus::DownloadQueued)
            continue;
        m_running.push_back(site);
        site->AddObserver(*this);
        StartSite(*site);
    }
}

void TKeltroQueue::SiteChanged(TKeltroSite& site) {
    const TSiteStatus status = site.Metadata().Status;
    if (status != TSiteStatus::Idle && status != TSiteStatus::Failed &&
        status != TSiteStatus::BackupQueued && status != TSiteStatus::DownloadQueued)
        return;
    {
        std::lock_guard lock(QueueLock());
        std::erase(m_running, &site);
        site.RemoveObserver(*this);
    }
    Process();
}

void TKeltroQueue::Forget(TKeltroSite& site) {
    std::lock_guard lock(QueueLock());
    std::erase(m_waiting, &site);
    std::erase(m_running, &site);
}

void TKeltroQueue::Clear() {
    std::lock_guard lock(QueueLock());
    m_waiting.clear();
    m_running.clear();
}

std::vector<TKeltroSite*> TKeltroQueue::Waiting() const {
    std::lock_guard lock(QueueLock());
    return {m_waiting.begin(), m_waiting.end()};
}

std::vector<TKeltroSite*> TKeltroQueue::Running() const {
    std::lock_guard lock(QueueLock());
    return m_running;
}

void TKeltroBackupQueue::StartSite(TKeltroSite& site) { site.StartBackup(this); }

void TKeltroDownloadQueue::StartSite(TKeltroSite& site) { site.StartDownload(this); }

} // namespace tlv
