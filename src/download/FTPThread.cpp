#include "download/FTPThread.h"

#include "core/Text.h"
#include "download/FtpClient.h"
#include "download/FtpError.h"
#include "storage/Paths.h"
#include "storage/Translate.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tlv {

namespace {

using namespace std::chrono_literals;

constexpr const char* LogFileName = "keltro.log";
constexpr auto QuitReplyWait = 10ms;

// Part names come from the server: anything that could leave the download folder, or smuggle a
// line break into a command, is refused.
bool isSafeFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name)
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F)
            return false;
    return true;
}

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// The local side of one download: bytes go to name + ".part", which takes the final name only
// once the transfer completed, so a file under the final name is always a whole one. In ASCII
// mode line ends become this system's (LF).
class PartFile {
public:
    PartFile(std::string finalPath, bool ascii)
        : m_finalPath(std::move(finalPath)), m_partPath(m_finalPath + ".part"), m_ascii(ascii) {
        m_fd = ::open(m_partPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0)
            throw EInOutError(systemError("Cannot create", m_partPath));
    }
    ~PartFile() {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_committed)
            ::unlink(m_partPath.c_str());
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    void Write(const char* data, std::size_t size) {
        if (!m_ascii)
            return writeAll(data, size);
        m_converted.clear();
        for (std::size_t i = 0; i < size; ++i) {
            if (m_pendingCR && data[i] != '\n')
                m_converted += '\r';
            m_pendingCR = data[i] == '\r';
            if (!m_pendingCR)
                m_converted += data[i];
        }
        writeAll(m_converted.data(), m_converted.size());
    }

    // Closes the part and gives it the final name, replacing an older file of that name.
    // `expectedSize` (-1: unknown) must match what arrived.
    void Commit(int64_t expectedSize) {
        if (m_pendingCR)
            writeAll("\r", 1);
        int fd = std::exchange(m_fd, -1);
        if (::close(fd) != 0)
            throw EInOutError(systemError("Cannot write", m_partPath));
        if (!m_ascii && expectedSize >= 0 && m_written != expectedSize)
            throw EInOutError("Incomplete download: the server announced " +
                              std::to_string(expectedSize) + " bytes, " +
                              std::to_string(m_written) + " arrived");
        if (::rename(m_partPath.c_str(), m_finalPath.c_str()) != 0)
            throw EInOutError(systemError("Cannot rename the download to", m_finalPath));
        m_committed = true;
    }

private:
    void writeAll(const char* data, std::size_t size) {
        while (size > 0) {
            ssize_t n = ::write(m_fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw EInOutError(systemError("Cannot write", m_partPath));
            data += n;
            size -= static_cast<std::size_t>(n);
            m_written += n;
        }
    }

    std::string m_finalPath;
    std::string m_partPath;
    bool m_ascii;
    int m_fd = -1;
    int64_t m_written = 0;
    bool m_pendingCR = false;
    bool m_committed = false;
    std::string m_converted;
};

} // namespace

TFTPThread::TFTPThread(IUIDispatcher& ui, int32_t siteID, bool logMode, const std::string& fileName)
    : TFTPThread(ui, siteID, logMode, std::vector<std::string>{fileName}) {}

TFTPThread::TFTPThread(IUIDispatcher& ui, int32_t siteID, bool logMode,
                       std::vector<std::string> fileNames)
    : TWorkerThread(ui), m_siteID(siteID), m_logMode(logMode), m_fileNames(std::move(fileNames)) {
    if (!m_fileNames.empty())
        m_currentFileName = m_fileNames.front();
}

TFTPThread::~TFTPThread() {
    Join();
}

void TFTPThread::LoadSiteDefinition(const TKeltroSiteDefinition& d) {
    log("Initializing FTP download from site definition");
    TFtpSettings& s = m_settings;
    s.Host = d.FTPHost;
    s.Port = static_cast<uint16_t>(d.FTPPort & 0xFFFF);
    s.Username = d.FTPUsername;
    s.Password = d.FTPPassword;
    s.ProxyType = d.FPType;
    s.ProxyHost = d.FPHost;
    s.ProxyUsername = d.FPUserName;
    s.ProxyPassword = d.FPPassword;
    s.ProxyPort = static_cast<uint16_t>(d.FPPort & 0xFFFF);
    // TLS always runs passive; so does a tunnel through an HTTP proxy, which cannot carry the
    // server's connection back to us.
    const bool tunnel = d.FPType == TFTPProxyType::HttpProxyWithFtp && !d.FPHost.empty();
    s.Passive = !d.FTPActiveMode || d.FTPUseSSL || tunnel;
    s.ImplicitTLS = d.FTPUseSSL;
    if (s.ImplicitTLS && s.Port == 21)
        s.Port = 990;

    m_remoteDirectory = d.FTPInitialDirectory;
    m_keepAlive = d.FTPKeepAlive;
    m_leadTime = d.DownloadLeadTime;
    m_deleteAfterDownload = d.DeleteAfterDownload;
    // Relative folders lie under the program's folder in portable mode; an empty one means
    // the root, as it always has.
    m_localDirectory = ResolveStoredFolder(d.DownloadDirectory);
    if (m_localDirectory.empty())
        m_localDirectory = "/";

    log("FTP Server / Port " + d.FTPHost + " / " + std::to_string(d.FTPPort));
    if (d.FPType != TFTPProxyType::NoProxy)
        log("Using an FTP proxy");
    if (d.FTPUseSSL)
        log("Using secure FTP connection over SSL");
    log(s.Passive ? "Using FTP Passive mode" : "Using FTP Active mode");
    if (m_keepAlive)
        log("Keep Alive is enabled; NOOP will be sent every 10 seconds.");
    log("Downloaded file will be written to " + m_localDirectory);
}

void TFTPThread::AbortDownload() {
    try {
        m_aborted = true;
        {
            std::lock_guard lock(m_mutex);
            m_abortWake.notify_all();
        }
        log("Aborting backup");
        std::lock_guard lock(m_mutex);
        if (m_client)
            m_client->Interrupt();
    } catch (...) {
        // Aborting must never fail the caller.
    }
}

void TFTPThread::log(const std::string& message) {
    if (OnLog && !Synchronize([&] { OnLog(message); }))
        m_aborted = true; // the UI side is gone: wind down
}

void TFTPThread::fail(const std::string& errorMessage) {
    m_errorMessage = errorMessage;
    if (OnFailure && !Synchronize([&] { OnFailure(m_siteID, m_errorMessage); }))
        m_aborted = true;
}

void TFTPThread::progress(int64_t bytesDone, bool last) {
    const auto now = std::chrono::steady_clock::now();
    if (!last && m_lastProgress && now - *m_lastProgress < ProgressInterval)
        return;
    if (last && bytesDone == m_reportedBytes)
        return;
    m_lastProgress = now;
    m_reportedBytes = bytesDone;
    if (OnProgress && !Synchronize([&] { OnProgress(m_siteID, bytesDone, m_fileSize); }))
        m_aborted = true;
}

void TFTPThread::onWork(int64_t bytesDone) {
    m_bytesDone = bytesDone;
    progress(bytesDone, bytesDone == m_fileSize);
    if (!m_keepAlive)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_lastKeepAlive && now - *m_lastKeepAlive < KeepAliveInterval)
        return;
    log("Sending NOOP (connection keep-alive) command");
    m_lastKeepAlive = now;
    m_client->Noop();
}

void TFTPThread::quit() {
    if (m_client)
        m_client->Quit(QuitReplyWait);
}

bool TFTPThread::waitLeadTime() {
    if (m_leadTime <= 0 || m_logMode)
        return !Aborted();
    log("Applying lead time before downloading, " + std::to_string(m_leadTime) + " seconds");
    std::unique_lock lock(m_mutex);
    m_abortWake.wait_for(lock, std::chrono::seconds(m_leadTime), [&] { return Aborted(); });
    return !Aborted();
}

bool TFTPThread::checkFileNames() {
    const std::size_t count =
        m_logMode ? std::min<std::size_t>(1, m_fileNames.size()) : m_fileNames.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (isSafeFileName(m_fileNames[i]))
            continue;
        log("Refusing to download a file with an unsafe name: \"" + m_fileNames[i] + "\"");
        fail(Translate("FTP_ERROR_UNSAFENAME"));
        return false;
    }
    return true;
}

bool TFTPThread::prepareLocalDirectory() {
    std::error_code ec;
    if (fs::is_directory(m_localDirectory, ec))
        return true;
    log("Creating the download folder " + m_localDirectory);
    if (!fs::create_directories(m_localDirectory, ec) && !fs::is_directory(m_localDirectory)) {
        const std::string reason = ec ? ec.message() : "it exists and is not a folder";
        log("Could not create the download folder: " + reason);
        fail(FormatTemplate(Translate("FTP_ERROR_CANTCREATEFOLDER"), {reason}));
        return false;
    }
    return true;
}

void TFTPThread::Execute() {
    if (!waitLeadTime())
        return;
    if (!checkFileNames() || !prepareLocalDirectory())
        return;

    log("Connecting to FTP server");
    {
        std::lock_guard lock(m_mutex);
        m_client = std::make_unique<FtpClient>(m_settings);
    }
    // The connections go when the run ends, whichever way it ends.
    struct ReleaseClient {
        TFTPThread& self;
        ~ReleaseClient() {
            std::lock_guard lock(self.m_mutex);
            self.m_client.reset();
        }
    } release{*this};

    try {
        m_client->Connect();
    } catch (const std::exception& e) {
        if (Aborted())
            return; // an abort that cut the connecting short
        log(std::string("FTP connection error: ") + e.what());
        fail(Translate("FTP_ERROR_CANTCONNECT"));
        return;
    }
    if (Aborted())
        return quit();

    log("Changing working directory to backup output directory, " + m_remoteDirectory);
    if (!command("Could not change into directory", "FTP_ERROR_CANTCHANGEDIR",
                 [&] { m_client->ChangeDir(m_remoteDirectory); }))
        return;

    if (m_logMode && m_fileNames.size() > 1)
        m_fileNames.resize(1);

    for (std::size_t i = 0; i < m_fileNames.size(); ++i) {
        const Step step = downloadFile(i);
        if (step == Step::Stop)
            return;
        if (step == Step::Leave)
            break;
    }

    if (!Aborted() && OnComplete && !Synchronize([&] { OnComplete(m_siteID); }))
        m_aborted = true;
    log("All done. Disconnecting from FTP server.");
    quit();
}

bool TFTPThread::command(const char* failure, const char* errorKey,
                         const std::function<void()>& send) {
    try {
        send();
    } catch (const std::exception& e) {
        if (!Aborted()) {
            log(std::string(failure) + ": " + e.what());
            quit();
            fail(Translate(errorKey));
        } else {
            quit();
        }
        return false;
    }
    if (Aborted()) {
        quit();
        return false;
    }
    return true;
}

TFTPThread::Step TFTPThread::downloadFile(std::size_t index) {
    const std::string& name = m_fileNames[index];
    if (!m_logMode)
        log("Preparing to download part " + std::to_string(index + 1) + " (" + name + ")");
    m_currentFileName = name;
    const std::string remoteName = m_logMode ? LogFileName : m_currentFileName;

    log("Getting file size using the SIZE command");
    if (!command("Could not get file size", "FTP_ERROR_TRANSPORT",
                 [&] { m_fileSize = m_client->Size(remoteName); }))
        return Step::Stop;
    if (m_fileSize == -1) {
        log("Getting file size using the LIST command");
        const auto sizeFromList = [&] {
            for (const auto& entry : m_client->List())
                if (entry.Name == remoteName && entry.Size >= 0)
                    m_fileSize = entry.Size;
        };
        if (!command("LIST failed", "FTP_ERROR_TRANSPORT", sizeFromList))
            return Step::Stop;
    }

    m_lastKeepAlive.reset(); // the first chunk of every file sends a keep-alive at once
    m_lastProgress.reset();
    m_reportedBytes = -1;
    m_bytesDone = 0;
    const std::string folder =
        m_localDirectory.back() == '/' ? m_localDirectory : m_localDirectory + "/";
    try {
        if (m_logMode) {
            log("Starting FTP download of log file (keltro.log)");
            fetch(LogFileName, folder + m_currentFileName + ".log", false);
        } else {
            log("Starting FTP download of " + m_currentFileName);
            m_client->SetTransferType(TFtpTransferType::Binary);
            fetch(m_currentFileName, folder + m_currentFileName, true);
        }
    } catch (const std::exception& e) {
        if (Aborted()) {
            log("Download aborted by user request");
            fail(m_errorMessage);
            return Step::Stop;
        }
        log(std::string("Download failed: ") + e.what());
        try {
            m_client->Abort();
        } catch (...) {
        }
        quit();
        fail(Translate("FTP_ERROR_TRANSPORT"));
        return Step::Stop;
    }
    if (Aborted())
        return Step::Leave;

    if (m_deleteAfterDownload && !m_logMode) {
        log("Deleting backup file from server");
        try {
            m_client->Delete(m_currentFileName);
        } catch (const std::exception& e) {
            if (Aborted()) {
                fail(m_errorMessage);
            } else {
                log(std::string("Backup deletion failed: ") + e.what());
                try {
                    m_client->Abort();
                } catch (...) {
                }
            }
        }
    }
    return Step::Next;
}

void TFTPThread::fetch(const std::string& remoteName, const std::string& localPath, bool binary) {
    PartFile file(localPath, !binary);
    m_client->Retrieve(
        remoteName, [&](const char* data, std::size_t size) { file.Write(data, size); },
        [&](int64_t bytesDone) { onWork(bytesDone); });
    progress(m_bytesDone, true);
    file.Commit(m_fileSize);
}

} // namespace tlv
