#pragma once

#include "sites/KeltroTypes.h"
#include "sites/SiteObserver.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tlv {

class IUIDispatcher;
class TBackupThread;
class TFTPThread;
class TKeltroSiteManager;

// Creates the workers a site runs. The real one makes real workers; tests put in one that fails
// to show what a site does when a worker cannot be created.
class IWorkerFactory {
public:
    virtual ~IWorkerFactory() = default;
    virtual std::unique_ptr<TBackupThread> CreateBackupThread(IUIDispatcher& ui) = 0;
    virtual std::unique_ptr<TFTPThread> CreateDownloadThread(IUIDispatcher& ui, int32_t siteID,
                                                             bool logMode,
                                                             const TKeltroBackupFilenames& names) = 0;
};

// One site: its stored definition and what it is doing now. The manager that holds it owns it.
// UI thread only: workers get a copy of the definition and reach the site through the
// dispatcher.
class TKeltroSite {
public:
    // A new site with an empty definition (SiteID 0). The caller appends it to the manager.
    explicit TKeltroSite(TKeltroSiteManager& manager);
    ~TKeltroSite();
    TKeltroSite(const TKeltroSite&) = delete;
    TKeltroSite& operator=(const TKeltroSite&) = delete;

    const TKeltroSiteDefinition& Definition() const { return m_definition; }
    const TKeltroSiteMetadata& Metadata() const { return m_metadata; }
    TKeltroSiteManager& Manager() const { return m_manager; }

    // Idle or Failed: the site may be queued, edited or reloaded.
    bool IsNotBusy() const { return tlv::IsNotBusy(m_metadata.Status); }

    // Fills the definition from the Sites row of `siteID` and resets the run-time state.
    // Raises ESiteIDNotFound when there is no such row.
    void LoadFromDatabase(int32_t siteID);

    // Updates the site's row, or inserts a new one when the site was never stored and takes the
    // row id SQLite gave it as its SiteID.
    void Save();

    // Deletes the site's row (when it was stored) and removes the site from its manager, which
    // releases it: the caller must not touch the site afterwards (unless the manager never held
    // it). Callers delete idle or failed sites only.
    void Delete();

    // Replaces the whole definition, SiteID included, without saving it. Raises
    // EKTAlreadyRunning, leaving the site unchanged, unless the site is idle or failed.
    void SetDefinition(const TKeltroSiteDefinition& definition);

    // Changes the activity state without telling anyone; NotifyObservers does that.
    void SetStatus(TSiteStatus status) { m_metadata.Status = status; }

    // ---- Activity ----------------------------------------------------------------------------
    // Workers report through the process's UI dispatcher (UIDispatcher()).

    // Called by anyone but the backup queue: queues the site (raises EKTAlreadyRunning when it
    // is busy). Called by the backup queue (caller == &BackupQueue()): runs the backup.
    void StartBackup(const void* caller);
    // The same for downloads and the download queue.
    void StartDownload(const void* caller);
    void AbortBackup();
    void AbortDownload();

    // The archive names a download fetches (the backup administration sets them for an older
    // backup before it queues a download).
    void SetBackupFilename(const std::string& name);
    void SetBackupFilenames(const TKeltroBackupFilenames& names);
    const std::string& BackupFilename() const { return m_backupFilename; }
    const TKeltroBackupFilenames& BackupFilenames() const { return m_backupFilenames; }
    // True while the next download fetches the server's log instead of the archive.
    bool LogDownload() const { return m_logDownload; }

    void ResetProgress();

    // Lines of the form "[dd/mm hh:nn:ss] message", oldest first.
    const std::vector<std::string>& Log() const { return m_log; }
    void AddLogLine(const std::string& message);
    void ClearLog() { m_log.clear(); }

    // The workers of the current or last runs; null when none was made. A worker may still be
    // winding down after the site turned Idle.
    TBackupThread* BackupWorker() const { return m_backupWorker.get(); }
    TFTPThread* DownloadWorker() const { return m_downloadWorker.get(); }

    // Program end: asks running workers to stop and leaves them to end on their own; no event
    // reaches this site any more. JoinAbandonedWorkers() collects them once the dispatcher has
    // shut down. Deleting a site instead waits for its workers, delivering their last events.
    void AbandonWorkers();

    // Replaces the factory behind every site's workers; null restores the real one.
    static void SetWorkerFactory(IWorkerFactory* factory);

    // Registers `observer` unless it already is; the site does not own it.
    void AddObserver(ISiteObserver& observer);
    void RemoveObserver(ISiteObserver& observer);
    // Tells every observer registered when it starts, each exactly once and in registration
    // order, even when one of them unregisters itself or another while being told.
    void NotifyObservers();

private:
    // SaveAll puts back the SiteID of a site whose insert its failed transaction rolled back.
    friend class TKeltroSiteManager;
    void restoreSiteID(int32_t siteID) { m_definition.SiteID = siteID; }

    // Worker events, run on the UI thread.
    void workerLog(const std::string& message) { AddLogLine(message); }
    void backupStep(const TKeltroKOVAResponse& report, const std::string& errorText);
    void backupFinished();
    void backupFilenameReceived(const std::string& name);
    void backupPartsReceived(const TKeltroBackupFilenames& names);
    void downloadFailure(const std::string& message);
    void downloadProgress(int64_t done, int64_t size);
    void downloadComplete();

    void runBackup();
    void runDownload();
    void recordLastBackup();
    void queueLogDownloadAfterFailure();
    // Waits, delivering its events, until a winding-down worker has ended, then lets it go.
    template <typename Worker> void retireWorker(std::unique_ptr<Worker>& worker);

    TKeltroSiteManager& m_manager;
    TKeltroSiteDefinition m_definition;
    TKeltroSiteMetadata m_metadata;
    std::vector<ISiteObserver*> m_observers;

    std::unique_ptr<TBackupThread> m_backupWorker;
    std::unique_ptr<TFTPThread> m_downloadWorker;
    std::string m_backupFilename;
    TKeltroBackupFilenames m_backupFilenames;
    bool m_logDownload = false;
    std::vector<std::string> m_log;
    // Events of workers check this before they touch the site; it goes with the site.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

// Program end, after the UI dispatcher has shut down: joins the workers abandoned by sites.
void JoinAbandonedWorkers();

} // namespace tlv
