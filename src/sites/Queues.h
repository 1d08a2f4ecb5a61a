#pragma once

#include "sites/SiteObserver.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tlv {

class TKeltroSite;

// The one lock of both queues. The UI thread takes it again in nested calls (a start that
// fails notifies the queue, which processes again inside the outer pass).
std::recursive_mutex& QueueLock();

// Starts queued sites while fewer than the configured number of its sites run. A queue learns
// that a run is over by observing the site. UI thread only.
class TKeltroQueue : public ISiteObserver {
public:
    explicit TKeltroQueue(std::string sizeOptionKey) : m_sizeOptionKey(std::move(sizeOptionKey)) {}
    ~TKeltroQueue() override = default;
    TKeltroQueue(const TKeltroQueue&) = delete;
    TKeltroQueue& operator=(const TKeltroQueue&) = delete;

    // Appends a site whose status is already queued, then processes.
    void Enqueue(TKeltroSite& site);
    // Takes a site out of the waiting list, the others keeping their order, then processes.
    void Remove(TKeltroSite& site);
    // Starts waiting sites while the queue is below its limit, read from the options on every
    // pass. A limit that is not a whole number raises EConvertError and starts nothing.
    void Process();
    // A run this queue started is over when its site turns Idle, Failed or queued again.
    void SiteChanged(TKeltroSite& site) override;

    // Drops every reference to a site that is going away, without processing.
    void Forget(TKeltroSite& site);
    // Empties both lists (program end, tests).
    void Clear();

    const std::string& SizeOptionKey() const { return m_sizeOptionKey; }
    std::vector<TKeltroSite*> Waiting() const;
    std::vector<TKeltroSite*> Running() const;

protected:
    virtual void StartSite(TKeltroSite& site) = 0;

private:
    std::string m_sizeOptionKey;
    std::deque<TKeltroSite*> m_waiting;
    std::vector<TKeltroSite*> m_running;
};

class TKeltroBackupQueue : public TKeltroQueue {
public:
    TKeltroBackupQueue() : TKeltroQueue("BackupQueueSize") {}

protected:
    void StartSite(TKeltroSite& site) override;
};

class TKeltroDownloadQueue : public TKeltroQueue {
public:
    TKeltroDownloadQueue() : TKeltroQueue("DownloadQueueSize") {}

protected:
    void StartSite(TKeltroSite& site) override;
};

// The process-wide queues.
TKeltroBackupQueue& BackupQueue();
TKeltroDownloadQueue& DownloadQueue();

} // namespace tlv
