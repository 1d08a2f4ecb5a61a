// The run-time half of a site: queueing, running the backup and download workers, their events,
// aborting, and the site's log.

#include "core/Dispatcher.h"
#include "download/FTPThread.h"
#include "remote/BackupThread.h"
#include "sites/KeltroSite.h"
#include "sites/Queues.h"
#include "storage/DatabaseConnection.h"

#include <chrono>
#include <mutex>

namespace tlv {

namespace {

class TRealWorkerFactory : public IWorkerFactory {
public:
    std::unique_ptr<TBackupThread> CreateBackupThread(IUIDispatcher& ui) override {
        return std::make_unique<TBackupThread>(ui);
    }
    std::unique_ptr<TFTPThread> CreateDownloadThread(IUIDispatcher& ui, int32_t siteID,
                                                     bool logMode,
                                                     const TKeltroBackupFilenames& names) override {
        return std::make_unique<TFTPThread>(ui, siteID, logMode, names);
    }
};

TRealWorkerFactory g_realFactory;
IWorkerFactory* g_factory = &g_realFactory;

// Workers left running by sites released at program end, joined once nothing waits on the UI.
std::mutex g_abandonedMutex;
std::vector<std::unique_ptr<TBackupThread>> g_abandonedBackups;
std::vector<std::unique_ptr<TFTPThread>> g_abandonedDownloads;

// A worker event that reaches the site only while the site lives.
template <typename Handler> auto guarded(const std::shared_ptr<bool>& alive, Handler handler) {
    return [weak = std::weak_ptr<bool>(alive), handler](const auto&... args) {
        if (!weak.expired())
            handler(args...);
    };
}

const std::string kLastBackupUpdate = "UPDATE [Sites] SET [LastBackup] = ?  WHERE [SiteID] = ?";

} // namespace

void TKeltroSite::SetWorkerFactory(IWorkerFactory* factory) {
    g_factory = factory ? factory : &g_realFactory;
}

TKeltroSite::~TKeltroSite() {
    // A deleted site waits for a winding-down worker, its last events still delivered here.
    retireWorker(m_backupWorker);
    retireWorker(m_downloadWorker);
    m_alive.reset();
    BackupQueue().Forget(*this);
    DownloadQueue().Forget(*this);
}

template <typename Worker> void TKeltroSite::retireWorker(std::unique_ptr<Worker>& worker) {
    if (!worker)
        return;
    if (worker->Started() && !worker->Ended())
        UIDispatcher().WaitFor([&] { return worker->Ended(); }, std::chrono::hours(24 * 365));
    worker.reset(); // joins the thread, which has ended
}

void TKeltroSite::AbandonWorkers() {
    m_alive.reset(); // from now on no event reaches this site
    std::lock_guard lock(g_abandonedMutex);
    if (m_backupWorker) {
        m_backupWorker->Terminate();
        g_abandonedBackups.push_back(std::move(m_backupWorker));
    }
    if (m_downloadWorker) {
        m_downloadWorker->AbortDownload();
        g_abandonedDownloads.push_back(std::move(m_downloadWorker));
    }
}

void JoinAbandonedWorkers() {
    std::lock_guard lock(g_abandonedMutex);
    g_abandonedBackups.clear();
    g_abandonedDownloads.clear();
}

// ---- Log ---------------------------------------------------------------------------------------

void TKeltroSite::AddLogLine(const std::string& message) {
    m_log.push_back("[" + TDateTime::Now().ToLogStamp() + "] " + message);
}

void TKeltroSite::SetBackupFilename(const std::string& name) {
    m_backupFilename = name;
    m_backupFilenames = {name};
}

void TKeltroSite::SetBackupFilenames(const TKeltroBackupFilenames& names) {
    m_backupFilenames = names;
}

void TKeltroSite::ResetProgress() {
    m_metadata.TotalBytes = 0;
    m_metadata.DownloadedBytes = 0;
}

void TKeltroSite::recordLastBackup() {
    m_definition.LastBackup = TDateTime::Now();
    DatabaseConnection().ExecSQL(
        kLastBackupUpdate,
        {SQLText(m_definition.LastBackup.ToUSGeneralString()), SQLInt(m_definition.SiteID)});
}

// ---- Queueing and running ----------------------------------------------------------------------

void TKeltroSite::StartBackup(const void* caller) {
    if (caller == &BackupQueue()) {
        runBackup();
        return;
    }
    if (!IsNotBusy())
        throw EKTAlreadyRunning();
    m_metadata.Status = TSiteStatus::BackupQueued;
    BackupQueue().Enqueue(*this);
}

void TKeltroSite::StartDownload(const void* caller) {
    if (caller == &DownloadQueue()) {
        runDownload();
        return;
    }
    if (!IsNotBusy())
        throw EKTAlreadyRunning();
    m_metadata.Status = TSiteStatus::DownloadQueued;
    DownloadQueue().Enqueue(*this);
}

void TKeltroSite::runBackup() {
    // A worker made by an earlier run that failed before starting it gets its start now.
    if (m_backupWorker && !m_backupWorker->Started()) {
        m_metadata.Status = TSiteStatus::BackupRunning;
        NotifyObservers();
        try {
            m_backupWorker->Start();
            return;
        } catch (const std::exception&) {
            m_backupWorker.reset();
        }
    }
    retireWorker(m_backupWorker);

    ClearLog();
    AddLogLine(std::string(80, '-'));
    AddLogLine("Keltro Remote is starting a new backup");
    try {
        m_backupFilename.clear();
        m_logDownload = false;
        AddLogLine("Creating new backup thread");
        m_backupWorker = g_factory->CreateBackupThread(UIDispatcher());
        TBackupThread& worker = *m_backupWorker;
        worker.OnLog = guarded(m_alive, [this](const std::string& line) { workerLog(line); });
        worker.LoadSiteDefinition(m_definition);
        worker.OnStep =
            guarded(m_alive, [this](const TKeltroKOVAResponse& report, const std::string& error,
                                    int32_t) { backupStep(report, error); });
        worker.OnFinished = guarded(m_alive, [this](int32_t) { backupFinished(); });
        worker.OnFilename = guarded(
            m_alive, [this](int32_t, const std::string& name) { backupFilenameReceived(name); });
        worker.OnParts = guarded(m_alive, [this](int32_t, const TKeltroBackupFilenames& names) {
            backupPartsReceived(names);
        });
        m_metadata.Status = TSiteStatus::BackupRunning;
        NotifyObservers();
        AddLogLine("Running backup thread");
        worker.Start();
    } catch (const std::exception& e) {
        m_metadata.Status = TSiteStatus::Failed;
        m_metadata.Response.Error = e.what();
        m_metadata.LastError = e.what();
        AddLogLine("Backup failure:");
        AddLogLine(e.what());
        NotifyObservers();
    }
}

void TKeltroSite::runDownload() {
    try {
        retireWorker(m_downloadWorker);
        AddLogLine("Creating new download thread");
        const TKeltroBackupFilenames names =
            m_logDownload ? TKeltroBackupFilenames{m_backupFilename} : m_backupFilenames;
        m_downloadWorker = g_factory->CreateDownloadThread(UIDispatcher(), m_definition.SiteID,
                                                           m_logDownload, names);
        TFTPThread& worker = *m_downloadWorker;
        worker.OnLog = guarded(m_alive, [this](const std::string& line) { workerLog(line); });
        worker.OnFailure = guarded(
            m_alive, [this](int32_t, const std::string& message) { downloadFailure(message); });
        worker.OnProgress = guarded(
            m_alive, [this](int32_t, int64_t done, int64_t size) { downloadProgress(done, size); });
        worker.OnComplete = guarded(m_alive, [this](int32_t) { downloadComplete(); });
        worker.LoadSiteDefinition(m_definition);
        m_metadata.Status = TSiteStatus::Downloading;
        NotifyObservers();
        AddLogLine("Running download thread");
        worker.Start();
    } catch (const std::exception& e) {
        m_metadata.Status = TSiteStatus::Failed;
        m_metadata.Response.Error = e.what();
        m_metadata.LastError = e.what();
        NotifyObservers();
    }
}

// ---- Backup events -----------------------------------------------------------------------------

void TKeltroSite::backupStep(const TKeltroKOVAResponse& report, const std::string& errorText) {
    m_metadata.Response = report;
    if (errorText.empty() && report.Error.empty()) {
        AddLogLine("Got backup progress signal");
        m_metadata.LastError.clear();
        const bool stopping = m_backupWorker && m_backupWorker->Terminated();
        m_metadata.Status = stopping ? TSiteStatus::Idle : TSiteStatus::BackupRunning;
        NotifyObservers();
        return;
    }
    m_metadata.LastError = report.Error.empty() ? errorText : report.Error;
    m_metadata.Status = TSiteStatus::Failed;
    AddLogLine("Backup error: " + m_metadata.LastError);
    recordLastBackup();
    NotifyObservers();
    queueLogDownloadAfterFailure();
}

// A user who asked for the log on failure gets the server's log beside the archives; the site
// stays Failed with the backup's error once the log has arrived.
void TKeltroSite::queueLogDownloadAfterFailure() {
    if (!m_definition.DownloadLogOnFailure || m_definition.FTPHost.empty() || !IsNotBusy())
        return;
    AddLogLine("Enqueueing the backup log for download");
    m_logDownload = true;
    // The log is saved as <archive name>.log beside the archives; before the server named the
    // archive it is plain "keltro.log".
    if (m_backupFilename.empty())
        m_backupFilename = "keltro";
    StartDownload(nullptr);
}

void TKeltroSite::backupFinished() {
    AddLogLine("Backup has finished successfully");
    recordLastBackup();
    m_metadata.Status = TSiteStatus::Idle;
    NotifyObservers();
    if (m_definition.DownloadWhenDone) {
        AddLogLine("Enqueueing for download");
        StartDownload(nullptr);
    }
}

void TKeltroSite::backupFilenameReceived(const std::string& name) {
    AddLogLine("Got backup filename: " + name);
    SetBackupFilename(name);
}

void TKeltroSite::backupPartsReceived(const TKeltroBackupFilenames& names) {
    AddLogLine("Got multipart backup filenames (" + std::to_string(names.size()) + " items).");
    m_backupFilenames = names;
}

// ---- Download events ---------------------------------------------------------------------------

void TKeltroSite::downloadProgress(int64_t done, int64_t size) {
    AddLogLine("Got download progress signal: " + std::to_string(done) + " / " +
               std::to_string(size) + " bytes");
    m_metadata.Status = TSiteStatus::Downloading;
    m_metadata.DownloadedBytes = done;
    m_metadata.TotalBytes = size;
    if (m_downloadWorker && m_downloadWorker->Aborted())
        m_metadata.Status = TSiteStatus::Idle;
    NotifyObservers();
}

void TKeltroSite::downloadFailure(const std::string& message) {
    AddLogLine("Download failed: " + message);
    // The log fetched after a failed backup must not replace the backup's own error.
    if (!(m_logDownload && !m_metadata.LastError.empty()))
        m_metadata.LastError = message;
    m_metadata.Status = TSiteStatus::Failed;
    NotifyObservers();
}

void TKeltroSite::downloadComplete() {
    AddLogLine("Download is now complete");
    m_metadata.Status = m_logDownload ? TSiteStatus::Failed : TSiteStatus::Idle;
    NotifyObservers();
}

// ---- Aborting ----------------------------------------------------------------------------------

void TKeltroSite::AbortBackup() {
    switch (m_metadata.Status) {
    case TSiteStatus::BackupRunning:
    case TSiteStatus::Reserved:
        AddLogLine("ABORTING BACKUP");
        recordLastBackup();
        if (!m_backupWorker || !m_backupWorker->Terminated()) {
            if (m_backupWorker)
                m_backupWorker->Terminate();
            m_metadata.Status = TSiteStatus::Idle;
            NotifyObservers();
        }
        break;
    case TSiteStatus::BackupQueued:
        BackupQueue().Remove(*this);
        m_metadata.Status = TSiteStatus::Idle;
        NotifyObservers();
        break;
    default:
        break;
    }
}

void TKeltroSite::AbortDownload() {
    switch (m_metadata.Status) {
    case TSiteStatus::Downloading:
    case TSiteStatus::Reserved:
        AddLogLine("ABORTING DOWNLOAD");
        recordLastBackup();
        if (!m_downloadWorker || !m_downloadWorker->Aborted()) {
            if (m_downloadWorker)
                m_downloadWorker->AbortDownload();
            m_metadata.Status = TSiteStatus::Idle;
            NotifyObservers();
        }
        break;
    case TSiteStatus::DownloadQueued:
        DownloadQueue().Remove(*this);
        m_metadata.Status = TSiteStatus::Idle;
        NotifyObservers();
        break;
    default:
        break;
    }
}

} // namespace tlv
