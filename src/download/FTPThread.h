#pragma once

#include "core/WorkerThread.h"
#include "download/FtpSettings.h"
#include "sites/KeltroTypes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tlv {

class FtpClient;

// The download worker: fetches the archive parts of one finished backup (or, in log mode, the
// server's "keltro.log") from a site's FTP server into the site's download folder, and reports
// every step to the UI thread through its four events. Each part is written as name + ".part"
// and takes its final name only once it arrived whole.
class TFTPThread : public TWorkerThread {
public:
    // UI thread. One file name (log mode: the name the local log file is based on).
    TFTPThread(IUIDispatcher& ui, int32_t siteID, bool logMode, const std::string& fileName);
    // UI thread. The archive parts in download order.
    TFTPThread(IUIDispatcher& ui, int32_t siteID, bool logMode, std::vector<std::string> fileNames);
    ~TFTPThread() override;

    // UI thread, once, after binding the events and before Start.
    void LoadSiteDefinition(const TKeltroSiteDefinition& definition);

    // UI thread, while the worker exists. Makes a running transfer fail at once; the run then
    // ends at its next step.
    void AbortDownload();
    // Any thread.
    bool Aborted() const { return m_aborted.load(); }

    // The events run on the UI thread while the worker waits; empty slots are skipped.
    std::function<void(const std::string& message)> OnLog;
    std::function<void(int32_t siteID, const std::string& message)> OnFailure;
    std::function<void(int32_t siteID, int64_t bytesDone, int64_t fileSize)> OnProgress;
    std::function<void(int32_t siteID)> OnComplete;

    // For event handlers (UI thread, while an event runs) and after the run has ended.
    int32_t SiteID() const { return m_siteID; }
    bool LogMode() const { return m_logMode; }
    const std::string& CurrentFileName() const { return m_currentFileName; }
    int64_t BytesDone() const { return m_bytesDone; }
    int64_t FileSize() const { return m_fileSize; }
    const std::string& ErrorMessage() const { return m_errorMessage; }
    const std::string& LocalDirectory() const { return m_localDirectory; }
    // The settings the run connects with, as LoadSiteDefinition made them.
    const TFtpSettings& Settings() const { return m_settings; }

    // Progress events go out at most this often (plus the last one of each file): each waits
    // for the UI thread, and a transfer hands over chunks far more often than a person reads.
    static constexpr std::chrono::milliseconds ProgressInterval{100};
    static constexpr std::chrono::seconds KeepAliveInterval{10};

protected:
    void Execute() override;

private:
    // After a file: go on with the next, end the run at once, or leave the loop for the end
    // of the run (its log line and QUIT).
    enum class Step { Next, Stop, Leave };

    void log(const std::string& message);
    void fail(const std::string& errorMessage);
    void progress(int64_t bytesDone, bool last);
    void onWork(int64_t bytesDone);
    void quit();
    // Waits up to the lead time; false when the download was aborted meanwhile.
    bool waitLeadTime();
    bool checkFileNames();
    bool prepareLocalDirectory();
    // Runs one command of the session. False when the run ends here, the server told goodbye:
    // the user aborted, or the command failed, which is logged after `failure` and reported
    // with the text of `errorKey`.
    bool command(const char* failure, const char* errorKey, const std::function<void()>& send);
    Step downloadFile(std::size_t index);
    void fetch(const std::string& remoteName, const std::string& localPath, bool binary);

    const int32_t m_siteID;
    const bool m_logMode;
    std::vector<std::string> m_fileNames;
    std::string m_currentFileName;
    std::string m_remoteDirectory;
    std::string m_localDirectory;
    bool m_keepAlive = false;
    int32_t m_leadTime = 0;
    bool m_deleteAfterDownload = false;
    TFtpSettings m_settings;

    int64_t m_bytesDone = 0;
    int64_t m_fileSize = -1;
    std::string m_errorMessage;
    std::optional<std::chrono::steady_clock::time_point> m_lastKeepAlive;
    std::optional<std::chrono::steady_clock::time_point> m_lastProgress;
    int64_t m_reportedBytes = -1;

    std::atomic<bool> m_aborted{false};
    std::mutex m_mutex; // guards m_client's existence (AbortDownload reaches it) and the wake-up
    std::condition_variable m_abortWake;
    std::unique_ptr<FtpClient> m_client;
};

} // namespace tlv
