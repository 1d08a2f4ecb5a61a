#pragma once

#include "core/DateTime.h"
#include "core/Exceptions.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tlv {

// ---- Error classes ---------------------------------------------------------------------------

// Every failure of the remote API layer.
class EKTLayerException : public Exception {
    using Exception::Exception;
};

class EKTSiteIDNotFound : public Exception {
public:
    explicit EKTSiteIDNotFound(int siteID)
        : Exception("SiteID " + std::to_string(siteID) + " not found") {}
};

class EKTAlreadyRunning : public Exception {
public:
    EKTAlreadyRunning() : Exception("Site already running") {}
};

class ESiteIDNotFound : public Exception {
public:
    explicit ESiteIDNotFound(int siteID)
        : Exception("Site #" + std::to_string(siteID) + " not found") {}
};

class EKTNotAllIdle : public Exception {
public:
    EKTNotAllIdle() : Exception("Not all sites are idle") {}
};

// ---- Site state -----------------------------------------------------------------------------

enum class TSiteStatus : uint8_t {
    Idle = 0,
    BackupRunning = 1,
    Reserved = 2, // never entered
    Downloading = 3,
    Failed = 4,
    BackupQueued = 5,
    DownloadQueued = 6,
};

// Idle and Failed: the site may be queued, edited or reloaded.
constexpr bool IsNotBusy(TSiteStatus status) {
    return status == TSiteStatus::Idle || status == TSiteStatus::Failed;
}

// FTP proxy login types; any other stored number reads as NoProxy.
enum class TFTPProxyType : uint8_t {
    NoProxy = 0,
    UserSite = 1,
    Site = 2,
    Open = 3,
    UserPass = 4,
    Transparent = 5,
    UserHostFireWallID = 6,
    NovellBorder = 7,
    HttpProxyWithFtp = 8,
    Custom = 9,
};

enum class TScheduleFrequency : uint8_t { Daily = 0, Weekly = 1, Monthly = 2, Yearly = 3 };

// ---- The persisted site record ---------------------------------------------------------------

// One row of the Sites table; every field bears its column's name.
struct TKeltroSiteDefinition {
    int32_t SiteID = 0; // 0 or below: never stored
    std::string SiteName;
    std::string URL; // host and endpoint path, without scheme and port
    int32_t Port = 0;
    bool UseSSL = false;
    std::string Username;
    std::string Password;
    int32_t Profile = 0;
    std::string CertificateSignature;
    std::string FTPHost;
    std::string FTPUsername;
    std::string FTPPassword;
    int32_t FTPPort = 0;
    std::string FTPInitialDirectory;
    bool DownloadWhenDone = false;
    bool DownloadLogOnFailure = false;
    std::string DownloadDirectory;
    bool BasicAuthentication = false;
    std::string ProxyPassword;
    int32_t ProxyPort = 0;
    std::string ProxyServer; // empty: no HTTP proxy
    std::string ProxyUsername;
    TFTPProxyType FPType = TFTPProxyType::NoProxy;
    std::string FPHost;
    std::string FPUserName;
    std::string FPPassword;
    int32_t FPPort = 0;
    bool ScheduleEnabled = false;
    TScheduleFrequency ScheduleFrequency = TScheduleFrequency::Daily;
    TDateTime StartDate = DefaultSiteDate();
    TDateTime StartTime = DefaultSiteDate();
    TDateTime LastBackup = DefaultSiteDate();
    bool FTPActiveMode = false;
    bool FTPKeepAlive = false;
    int32_t Throttling = 0;       // seconds between two backup steps
    int32_t DownloadLeadTime = 0; // seconds before a download connects
    bool DeleteAfterDownload = false;
    bool FTPUseSSL = false;

    // What a missing date reads as: 1 January 2000, 00:00.
    static TDateTime DefaultSiteDate() { return TDateTime(36526.0); }

    bool operator==(const TKeltroSiteDefinition&) const = default;
};

// ---- Records of the remote API ---------------------------------------------------------------
// (filled by the remote API connector)

// Progress of a backup step. A reply member that is absent leaves its field as the previous
// reply left it.
struct TKeltroKOVAResponse {
    bool IsFinished = false;
    std::string Domain; // the server's name of the stage the backup is in
    std::string Step;
    std::string Substep;
    std::string Error; // not blank: the step failed
    std::string Warnings;

    bool operator==(const TKeltroKOVAResponse&) const = default;
};

// One backup record held by a site.
struct TKeltroBackupEntry {
    int32_t id = 0;
    std::string description;
    TDateTime backupstart; // local time, no zone conversion
    std::string status;
    std::string origin;
    std::string type; // "full", "dbonly", "extradbonly"
    std::string meta; // "ok", "pending", "fail", "obsolete"
    int32_t profile = 0;
    std::string archivename;

    bool operator==(const TKeltroBackupEntry&) const = default;
};
using TKeltroBackupArray = std::vector<TKeltroBackupEntry>;

struct TKeltroProfile {
    int32_t id = 0;
    std::string description;

    bool operator==(const TKeltroProfile&) const = default;
};
using TKeltroProfileArray = std::vector<TKeltroProfile>;

// File names of the archive parts, in the server's order.
using TKeltroBackupFilenames = std::vector<std::string>;

// ---- Run-time state of a site ----------------------------------------------------------------

// What a site is doing now; a new or freshly loaded site has these initial values.
struct TKeltroSiteMetadata {
    TSiteStatus Status = TSiteStatus::Idle;
    TKeltroKOVAResponse Response; // the last step report of the backup worker
    std::string LastError;
    int64_t TotalBytes = 0;      // size of the file being downloaded
    int64_t DownloadedBytes = 0; // bytes of that file received so far
};

} // namespace tlv
