#include "sites/KeltroSite.h"

#include "download/FTPThread.h"
#include "remote/BackupThread.h"
#include "sites/SiteManager.h"
#include "storage/DatabaseConnection.h"

#include <algorithm>
#include <array>

namespace tlv {

namespace {

const std::string kSelectSite = "SELECT * FROM [Sites] WHERE [SiteID] = ?";

const std::string kInsertSite =
    "INSERT INTO [Sites] ([SiteName], [URL], [Port], [UseSSL], [UserName], [Password], "
    "[Profile], [FTPHost], [FTPUsername], [FTPPassword], [FTPPort], [FTPInitialDirectory], "
    "[DownloadWhenDone], [DownloadLogOnFailure], [DownloadDirectory], [CertificateSignature], "
    "[BasicAuthentication], [ProxyPassword], [ProxyPort], [ProxyServer], [ProxyUsername], "
    "[FPType], [FPHost], [FPUserName], [FPPassword], [FPPort], [ScheduleFrequency], "
    "[StartDate], [StartTime], [ScheduleEnabled], [LastBackup], [FTPActiveMode], "
    "[FTPKeepAlive], [Throttling], [DownloadLeadTime], [DeleteAfterDownload],[FTPUseSSL]) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
    "?, ?, ?, ?, ?, ?, ?, ?, ?)";

const std::string kUpdateSite =
    "UPDATE [Sites] SET [SiteName] = ?, [URL] = ?, [Port] = ?, [UseSSL] = ?, [UserName] = ?, "
    "[Password] = ?, [Profile] = ?, [FTPHost] = ?, [FTPUsername] = ?, [FTPPassword] = ?, "
    "[FTPPort] = ?, [FTPInitialDirectory] = ?, [DownloadWhenDone] = ?, "
    "[DownloadLogOnFailure] = ?, [DownloadDirectory] = ?, [CertificateSignature] = ?, "
    "[BasicAuthentication] = ?, [ProxyPassword] = ?, [ProxyPort] = ?, [ProxyServer] = ?, "
    "[ProxyUsername] = ?, [FPType] = ?, [FPHost] = ?, [FPUserName] = ?, [FPPassword] = ?, "
    "[FPPort] = ?, [ScheduleFrequency] = ?, [StartDate] = ?, [StartTime] = ?, "
    "[ScheduleEnabled] = ?, [LastBackup] = ?, [FTPActiveMode] = ?, [FTPKeepAlive] = ?, "
    "[Throttling] = ?, [DownloadLeadTime] = ?, [DeleteAfterDownload] = ?,[FTPUseSSL] = ?WHERE "
    "[SiteID] = ?";

const std::string kDeleteSite = "DELETE FROM [Sites] WHERE [SiteID] = ?";

constexpr const char* kFrequencyTexts[] = {"daily", "weekly", "monthly", "yearly"};

// Stored proxy types outside 1..9 mean no proxy, both ways.
TFTPProxyType proxyTypeFromNumber(int64_t number) {
    return number >= 1 && number <= 9 ? static_cast<TFTPProxyType>(number) : TFTPProxyType::NoProxy;
}

TScheduleFrequency frequencyFromText(const std::string& text) {
    for (size_t i = 0; i < std::size(kFrequencyTexts); ++i)
        if (text == kFrequencyTexts[i]) // letter case matters: "Weekly" reads as daily
            return static_cast<TScheduleFrequency>(i);
    return TScheduleFrequency::Daily;
}

const char* frequencyText(TScheduleFrequency frequency) {
    const auto index = static_cast<size_t>(frequency);
    return index < std::size(kFrequencyTexts) ? kFrequencyTexts[index] : kFrequencyTexts[0];
}

TDateTime dateFromText(const std::string& text) {
    TDateTime value;
    return TDateTime::TryParseUSGeneral(text, value) ? value
                                                     : TKeltroSiteDefinition::DefaultSiteDate();
}

TKeltroSiteDefinition readDefinition(const TSQLiteQuery& row) {
    auto integer = [&](const char* column) {
        return static_cast<int32_t>(row.FieldAsInteger(column));
    };
    auto flag = [&](const char* column) { return row.FieldAsInteger(column) != 0; };
    auto text = [&](const char* column) { return row.FieldAsText(column); };

    TKeltroSiteDefinition d;
    d.SiteID = integer("SiteID");
    d.SiteName = text("SiteName");
    d.URL = text("URL");
    d.Port = integer("Port");
    d.UseSSL = flag("UseSSL");
    d.Username = text("Username");
    d.Password = text("Password");
    d.Profile = integer("Profile");
    d.CertificateSignature = text("CertificateSignature");
    d.FTPHost = text("FTPHost");
    d.FTPUsername = text("FTPUsername");
    d.FTPPassword = text("FTPPassword");
    d.FTPPort = integer("FTPPort");
    d.FTPInitialDirectory = text("FTPInitialDirectory");
    d.DownloadWhenDone = flag("DownloadWhenDone");
    d.DownloadLogOnFailure = flag("DownloadLogOnFailure");
    d.DownloadDirectory = text("DownloadDirectory");
    d.BasicAuthentication = flag("BasicAuthentication");
    d.ProxyPassword = text("ProxyPassword");
    d.ProxyPort = integer("ProxyPort");
    d.ProxyServer = text("ProxyServer");
    d.ProxyUsername = text("ProxyUsername");
    d.FPType = proxyTypeFromNumber(row.FieldAsInteger("FPType"));
    d.FPHost = text("FPHost");
    d.FPUserName = text("FPUserName");
    d.FPPassword = text("FPPassword");
    d.FPPort = integer("FPPort");
    d.ScheduleEnabled = flag("ScheduleEnabled");
    d.ScheduleFrequency = frequencyFromText(text("ScheduleFrequency"));
    d.StartDate = dateFromText(text("StartDate"));
    d.StartTime = dateFromText(text("StartTime"));
    d.LastBackup = dateFromText(text("LastBackup"));
    d.FTPActiveMode = flag("FTPActiveMode");
    d.FTPKeepAlive = flag("FTPKeepAlive");
    d.Throttling = integer("Throttling");
    d.DownloadLeadTime = integer("DownloadLeadTime");
    d.DeleteAfterDownload = flag("DeleteAfterDownload");
    d.FTPUseSSL = flag("FTPUseSSL");
    return d;
}

// The stored forms in the column order of the INSERT, followed by SiteID for the UPDATE.
std::array<TSQLParam, 38> storedForm(const TKeltroSiteDefinition& d) {
    auto integer = [](int64_t value) { return SQLInt(value); };
    auto date = [](TDateTime value) { return SQLText(value.ToUSGeneralString()); };
    return {
        SQLText(d.SiteName),
        SQLText(d.URL),
        integer(d.Port),
        SQLBool(d.UseSSL),
        SQLText(d.Username),
        SQLText(d.Password),
        integer(d.Profile),
        SQLText(d.FTPHost),
        SQLText(d.FTPUsername),
        SQLText(d.FTPPassword),
        integer(d.FTPPort),
        SQLText(d.FTPInitialDirectory),
        SQLBool(d.DownloadWhenDone),
        SQLBool(d.DownloadLogOnFailure),
        SQLText(d.DownloadDirectory),
        SQLText(d.CertificateSignature),
        SQLBool(d.BasicAuthentication),
        SQLText(d.ProxyPassword),
        integer(d.ProxyPort),
        SQLText(d.ProxyServer),
        SQLText(d.ProxyUsername),
        integer(static_cast<int64_t>(proxyTypeFromNumber(static_cast<int64_t>(d.FPType)))),
        SQLText(d.FPHost),
        SQLText(d.FPUserName),
        SQLText(d.FPPassword),
        integer(d.FPPort),
        SQLText(frequencyText(d.ScheduleFrequency)),
        date(d.StartDate),
        date(d.StartTime),
        SQLBool(d.ScheduleEnabled),
        date(d.LastBackup),
        SQLBool(d.FTPActiveMode),
        SQLBool(d.FTPKeepAlive),
        integer(d.Throttling),
        integer(d.DownloadLeadTime),
        SQLBool(d.DeleteAfterDownload),
        SQLBool(d.FTPUseSSL),
        integer(d.SiteID),
    };
}

} // namespace

TKeltroSite::TKeltroSite(TKeltroSiteManager& manager) : m_manager(manager) {}

void TKeltroSite::LoadFromDatabase(int32_t siteID) {
    auto row = DatabaseConnection().Query(kSelectSite, {SQLInt(siteID)});
    if (!row.Next())
        throw ESiteIDNotFound(siteID);
    m_definition = readDefinition(row);
    m_metadata = TKeltroSiteMetadata{};
}

void TKeltroSite::Save() {
    TSQLiteDatabase& db = DatabaseConnection();
    const auto params = storedForm(m_definition);
    if (m_definition.SiteID > 0) {
        db.ExecSQL(kUpdateSite, params);
        return;
    }
    db.ExecSQL(kInsertSite, std::span(params).first(params.size() - 1));
    m_definition.SiteID = static_cast<int32_t>(db.LastInsertRowID());
}

void TKeltroSite::Delete() {
    if (m_definition.SiteID > 0)
        DatabaseConnection().ExecSQL(kDeleteSite, {SQLInt(m_definition.SiteID)});
    // Releases this site: nothing may touch a member after this line.
    m_manager.Remove(*this);
}

void TKeltroSite::SetDefinition(const TKeltroSiteDefinition& definition) {
    if (!IsNotBusy())
        throw EKTAlreadyRunning();
    m_definition = definition;
    m_metadata.Status = TSiteStatus::Idle;
    m_metadata.Response.IsFinished = false;
}

void TKeltroSite::AddObserver(ISiteObserver& observer) {
    if (std::find(m_observers.begin(), m_observers.end(), &observer) == m_observers.end())
        m_observers.push_back(&observer);
}

void TKeltroSite::RemoveObserver(ISiteObserver& observer) {
    std::erase(m_observers, &observer);
}

void TKeltroSite::NotifyObservers() {
    // A copy, because an observer may unregister itself (the queues do) while being told.
    const std::vector<ISiteObserver*> observers = m_observers;
    for (ISiteObserver* observer : observers)
        observer->SiteChanged(*this);
}

} // namespace tlv
