#include "cli/SiteCommands.h"

#include "cli/CliSupport.h"
#include "cli/SiteFields.h"
#include "core/Convert.h"
#include "core/Text.h"
#include "remote/CertificateInfo.h"
#include "remote/ConnectionProbe.h"
#include "schedule/ScheduleRunner.h"
#include "sites/BackupAdministration.h"
#include "sites/KeltroSite.h"
#include "sites/SiteManager.h"
#include "sites/StatusTexts.h"
#include "storage/Options.h"
#include "storage/Translate.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

namespace tlv::cli {

namespace {

void printJson(const nlohmann::json& document) {
    // Texts that are not valid UTF-8 (a server's description in another code page) are
    // replaced rather than ending the command.
    const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fprintf(stdout, "%s\n", text.c_str());
}

} // namespace

int ListSites(const TCommandLine& c) {
    nlohmann::json list = nlohmann::json::array();
    std::vector<std::vector<std::string>> rows;
    for (const TKeltroSite& site : TKeltroSiteManager::Instance().Sites()) {
        const TKeltroSiteDefinition& d = site.Definition();
        const std::string schedule =
            ScheduleText(d.ScheduleEnabled, d.ScheduleFrequency, d.StartDate, d.StartTime);
        if (c.Json)
            list.push_back({{"id", d.SiteID},
                            {"name", d.SiteName},
                            {"status", StatusName(site.Metadata().Status)},
                            {"lastBackup", FormatDateTime(d.LastBackup)},
                            {"schedule", schedule}});
        else
            rows.push_back({std::to_string(d.SiteID), d.SiteName,
                            StatusText(site.Metadata().Status), FormatDateTime(d.LastBackup),
                            schedule});
    }
    if (c.Json)
        printJson(list);
    else
        PrintTable(stdout, {"ID", "NAME", "STATUS", "LAST BACKUP", "SCHEDULE"}, rows);
    return kExitOk;
}

int ShowSite(const TCommandLine& c) {
    const TKeltroSiteDefinition& d = FindSite(c.Site).Definition();
    if (c.Json) {
        nlohmann::json object = nlohmann::json::object();
        for (const TSiteField* field : SiteFields())
            object[std::string(FieldName(*field))] = FieldJson(*field, d);
        printJson(object);
        return kExitOk;
    }
    size_t width = 0;
    for (const TSiteField* field : SiteFields())
        width = std::max(width, FieldName(*field).size());
    for (const TSiteField* field : SiteFields()) {
        const std::string name(FieldName(*field));
        std::fprintf(stdout, "%s:%s %s\n", name.c_str(),
                     std::string(width - name.size(), ' ').c_str(), FieldText(*field, d).c_str());
    }
    return kExitOk;
}

int AddSite(const TCommandLine& c) {
    const TAddArguments& a = c.Add;
    const std::string ftpHost(Trim(a.FTPHost));
    if (ftpHost.find("://") != std::string::npos)
        throw ECliUsage(Translate("ERR_NS_DONTUSEFTPPROTOCOL"));

    TConnectionProbe probe;
    probe.SiteName = a.Name;
    probe.Address = a.URL;
    probe.Username = a.User;
    probe.Password = a.Password;
    const bool terminal = IsTerminal(stderr);
    probe.OnOperation = [terminal](const std::string& key) {
        if (terminal && !key.empty())
            std::fprintf(stderr, "%s\n", Translate(key).c_str());
    };
    TProbeResult result;
    if (a.NoProbe)
        result =
            Trim(a.Name).empty() ? TProbeResult::Fail("ERR_NS_NONAMEGIVEN") : probe.ParseAddress();
    else
        result = probe.Validate();
    if (!result.Passed) {
        const bool badInput = result.MessageKey == "ERR_NS_NONAMEGIVEN" ||
                              result.MessageKey == "ERR_NS_INVALIDPROTOCOL";
        TKeltroSiteDefinition secrets;
        secrets.Password = a.Password;
        PrintError(MaskSecrets(result.Message(), secrets));
        return badInput ? kExitUsage : kExitSiteFailed;
    }

    TKeltroSiteDefinition d;
    d.SiteName = a.Name;
    d.URL = probe.URL;
    d.Port = probe.Port;
    d.UseSSL = probe.UseSSL;
    d.Username = a.User;
    d.Password = a.Password;
    d.Profile = 1;
    d.FTPHost = ftpHost;
    d.FTPPort = a.FTPPort;
    d.FTPUsername = a.FTPUser;
    d.FTPPassword = a.FTPPassword;
    d.FTPInitialDirectory = a.FTPDirectory;
    d.FTPUseSSL = a.FTPTLS;
    d.DeleteAfterDownload = a.DeleteAfterDownload;
    // As in the new-site wizard: a site with an FTP server downloads its archives after each
    // backup, and its log when a backup fails.
    d.DownloadWhenDone = d.DownloadLogOnFailure = !ftpHost.empty();
    d.DownloadDirectory = DownloadFolderFromCommandLine(
        a.DownloadDirectory.empty() && !ftpHost.empty() ? std::string(".") : a.DownloadDirectory);

    TKeltroSiteManager& manager = TKeltroSiteManager::Instance();
    auto site = std::make_unique<TKeltroSite>(manager);
    site->SetDefinition(d);
    site->Save();
    const int32_t id = site->Definition().SiteID;
    manager.Add(std::move(site));
    std::fprintf(stdout, "%d\n", id);
    if (d.UseSSL)
        PrintError("note: the site uses HTTPS; run 'tolvane-cli pin " + std::to_string(id) +
                   "' to trust its certificate before its first backup");
    return kExitOk;
}

int SetSiteFields(const TCommandLine& c) {
    TKeltroSite& site = FindSite(c.Site);
    TKeltroSiteDefinition d = site.Definition();
    for (const std::string& assignment : c.Assignments) {
        const size_t equals = assignment.find('=');
        if (equals == std::string::npos || equals == 0)
            throw ECliUsage("expected FIELD=VALUE, got \"" + assignment + "\"");
        SetField(FindSiteField(Trim(std::string_view(assignment).substr(0, equals))), d,
                 assignment.substr(equals + 1));
    }
    site.SetDefinition(d);
    site.Save();
    return kExitOk;
}

int DeleteSite(const TCommandLine& c) {
    FindSite(c.Site).Delete();
    return kExitOk;
}

namespace {

bool askYesNo(const std::string& question) {
    std::fprintf(stdout, "%s [y/N] ", question.c_str());
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    const std::string word = ToLowerAscii(Trim(answer));
    return word == "y" || word == "yes";
}

} // namespace

int PinCertificate(const TCommandLine& c) {
    TKeltroSite& site = FindSite(c.Site);
    const TKeltroSiteDefinition& d = site.Definition();
    if (!d.UseSSL)
        throw ECliUsage("site \"" + d.SiteName + "\" does not use HTTPS (UseSSL is off)");

    TCertificateRequest request;
    request.URL = d.URL;
    request.Port = d.Port;
    request.ProxyServer = d.ProxyServer;
    request.ProxyPort = d.ProxyPort;
    request.ProxyUsername = d.ProxyUsername;
    request.ProxyPassword = d.ProxyPassword;
    request.BasicAuthentication = d.BasicAuthentication;
    request.OnVerify = [&](const TCertificateInfo& info) {
        const std::array<std::pair<const char*, const std::string*>, 5> values = {{
            {"LBL_CERTIFICATESIGNATURE", &info.Signature},
            {"LBL_MD5", &info.Fingerprint},
            {"LBL_SUBJECT", &info.Subject},
            {"LBL_ISSUER", &info.Issuer},
            {"LBL_SERIALNUMBER", &info.SerialNumber},
        }};
        for (const auto& [key, value] : values)
            std::fprintf(stdout, "%s: %s\n", Translate(key).c_str(), value->c_str());
        if (c.Yes)
            return true;
        return askYesNo(Translate("LBL_DOYOUTRUST"));
    };
    std::string failure;
    try {
        request.Execute();
    } catch (const EKTLayerException& e) {
        failure = e.what();
    }
    if (request.CertificateSignature.empty()) {
        PrintError(d.SiteName + ": " +
                   MaskSecrets(failure.empty() ? "the certificate was not trusted" : failure, d));
        return kExitSiteFailed;
    }
    // A certificate trusted before the request failed (an HTTP error status of the address)
    // is still the server's; the failure is only worth a note.
    if (!failure.empty())
        PrintError("note: " + d.SiteName + ": " + MaskSecrets(failure, d));
    TKeltroSiteDefinition pinned = d;
    pinned.CertificateSignature = request.CertificateSignature;
    site.SetDefinition(pinned);
    site.Save();
    std::fprintf(stdout, "Certificate signature stored for %s.\n", d.SiteName.c_str());
    return kExitOk;
}

int ListBackups(const TCommandLine& c) {
    TKeltroSite& site = FindSite(c.Site);
    TBackupAdministration administration(site.Definition().SiteID);
    try {
        administration.Refresh();
    } catch (const EKTLayerException& e) {
        PrintError(site.Definition().SiteName + ": " + MaskSecrets(e.what(), site.Definition()));
        return kExitSiteFailed;
    }
    const TKeltroBackupArray& backups = administration.Backups();
    if (c.Json) {
        nlohmann::json list = nlohmann::json::array();
        for (const TKeltroBackupEntry& b : backups)
            list.push_back({{"id", b.id},
                            {"description", b.description},
                            {"backupstart", FormatDateTime(b.backupstart)},
                            {"type", b.type},
                            {"meta", b.meta},
                            {"profile", b.profile}});
        printJson(list);
        return kExitOk;
    }
    if (backups.empty()) {
        PrintError(site.Definition().SiteName + ": " + Translate("BUADMIN_ERR_NORECORDS"));
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows;
    for (const TKeltroBackupEntry& b : backups)
        rows.push_back({std::to_string(b.id), b.description, FormatDateTime(b.backupstart),
                        TBackupAdministration::TypeText(b.type),
                        TBackupAdministration::MetaText(b.meta), std::to_string(b.profile)});
    PrintTable(stdout,
               {Translate("BUADMIN_BGLBL_ID"), Translate("BUADMIN_BGLBL_DESCRIPTION"),
                Translate("BUADMIN_BGLBL_BACKUPSTART"), Translate("BUADMIN_BGLBL_TYPE"),
                Translate("BUADMIN_BGLBL_META"), Translate("BUADMIN_BGLBL_PROFILE")},
               rows);
    return kExitOk;
}

namespace {

struct TKnownOption {
    const char* Key;
    const char* Default; // what the program's readers assume when it is not stored
    enum { Language, Flag, QueueSize } Kind;
};

constexpr TKnownOption kOptions[] = {
    {"Language", "english", TKnownOption::Language},
    {"MinimizeTray", "0", TKnownOption::Flag},
    {"CloseToTray", "0", TKnownOption::Flag},
    {"BackupQueueSize", "2", TKnownOption::QueueSize},
    {"DownloadQueueSize", "2", TKnownOption::QueueSize},
};

const TKnownOption* findOption(const std::string& key) {
    for (const TKnownOption& option : kOptions)
        if (EqualsNoCase(option.Key, key))
            return &option;
    return nullptr;
}

// The value as the program stores it; raises ECliUsage when the program could not read it.
std::string storedForm(const TKnownOption& option, const std::string& value) {
    switch (option.Kind) {
    case TKnownOption::Flag: {
        bool flag = false;
        if (!TryStrToBool(value, flag))
            throw ECliUsage("invalid value for " + std::string(option.Key) + ": \"" + value +
                            "\" (true or false)");
        return BoolToStr(flag);
    }
    case TKnownOption::QueueSize: {
        int size = 0;
        if (!TryStrToInt(value, size) || size < 0 || size > 10000)
            throw ECliUsage("invalid value for " + std::string(option.Key) + ": \"" + value +
                            "\" (a whole number from 0 to 10000)");
        return std::to_string(size);
    }
    case TKnownOption::Language: {
        const std::string stem(Trim(value));
        if (stem.empty() || stem.find('/') != std::string::npos ||
            !std::filesystem::is_regular_file(JTranslate::LanguagesFolder() + stem + ".ini"))
            throw ECliUsage("no language file \"" + stem + ".ini\" in " +
                            JTranslate::LanguagesFolder());
        return stem;
    }
    }
    return value;
}

} // namespace

int ReadOrWriteOptions(const TCommandLine& c) {
    TOptionsRegistry& options = TOptionsRegistry::Instance();
    if (!c.OptionKey) {
        for (const TKnownOption& option : kOptions)
            std::fprintf(stdout, "%s=%s\n", option.Key,
                         options.ReadOption(option.Key, option.Default).c_str());
        for (const auto& [key, value] : options.Pairs())
            if (!findOption(key))
                std::fprintf(stdout, "%s=%s\n", key.c_str(), value.c_str());
        return kExitOk;
    }
    const std::string& key = *c.OptionKey;
    const TKnownOption* known = findOption(key);
    if (!c.OptionValue) {
        if (known) {
            std::fprintf(stdout, "%s\n", options.ReadOption(known->Key, known->Default).c_str());
            return kExitOk;
        }
        for (const auto& [storedKey, value] : options.Pairs())
            if (EqualsNoCase(storedKey, key)) {
                std::fprintf(stdout, "%s\n", value.c_str());
                return kExitOk;
            }
        throw ECliUsage("unknown option: " + key);
    }
    if (!known)
        throw ECliUsage("unknown option: " + key);
    options.WriteOption(known->Key, storedForm(*known, *c.OptionValue));
    options.Save();
    return kExitOk;
}

} // namespace tlv::cli
