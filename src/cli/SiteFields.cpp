#include "cli/SiteFields.h"

#include "cli/CliSupport.h"
#include "core/Convert.h"
#include "core/Text.h"
#include "storage/Paths.h"

#include <array>
#include <filesystem>
#include <limits>
#include <variant>

namespace tlv::cli {

using Def = TKeltroSiteDefinition;
using Member = std::variant<std::string Def::*, int32_t Def::*, bool Def::*, TDateTime Def::*,
                            TScheduleFrequency Def::*, TFTPProxyType Def::*>;

struct TSiteField {
    std::string_view Name;
    Member Field;
    bool Secret = false;   // shown as "****"
    bool ReadOnly = false; // SiteID: the database gives it
    bool Folder = false;   // a local folder typed relative to the current folder
    int32_t Min = std::numeric_limits<int32_t>::min();
    int32_t Max = std::numeric_limits<int32_t>::max();
};

namespace {

constexpr int32_t kMaxPort = 65535;
constexpr int32_t kMaxInt = std::numeric_limits<int32_t>::max();

// The ranges are those the site editor offers (ports up to what TCP allows).
const TSiteField kFields[] = {
    {"SiteID", &Def::SiteID, false, true},
    {"SiteName", &Def::SiteName},
    {"URL", &Def::URL},
    {"Port", &Def::Port, false, false, false, 1, kMaxPort},
    {"UseSSL", &Def::UseSSL},
    {"Username", &Def::Username},
    {"Password", &Def::Password, true},
    {"Profile", &Def::Profile},
    {"CertificateSignature", &Def::CertificateSignature},
    {"FTPHost", &Def::FTPHost},
    {"FTPUsername", &Def::FTPUsername},
    {"FTPPassword", &Def::FTPPassword, true},
    {"FTPPort", &Def::FTPPort, false, false, false, 0, kMaxPort},
    {"FTPInitialDirectory", &Def::FTPInitialDirectory},
    {"DownloadWhenDone", &Def::DownloadWhenDone},
    {"DownloadLogOnFailure", &Def::DownloadLogOnFailure},
    {"DownloadDirectory", &Def::DownloadDirectory, false, false, true},
    {"BasicAuthentication", &Def::BasicAuthentication},
    {"ProxyPassword", &Def::ProxyPassword, true},
    {"ProxyPort", &Def::ProxyPort, false, false, false, 0, kMaxPort},
    {"ProxyServer", &Def::ProxyServer},
    {"ProxyUsername", &Def::ProxyUsername},
    {"FPType", &Def::FPType},
    {"FPHost", &Def::FPHost},
    {"FPUserName", &Def::FPUserName},
    {"FPPassword", &Def::FPPassword, true},
    {"FPPort", &Def::FPPort, false, false, false, 0, kMaxPort},
    {"ScheduleEnabled", &Def::ScheduleEnabled},
    {"ScheduleFrequency", &Def::ScheduleFrequency},
    {"StartDate", &Def::StartDate},
    {"StartTime", &Def::StartTime},
    {"LastBackup", &Def::LastBackup},
    {"FTPActiveMode", &Def::FTPActiveMode},
    {"FTPKeepAlive", &Def::FTPKeepAlive},
    {"Throttling", &Def::Throttling, false, false, false, 0, 1800},
    {"DownloadLeadTime", &Def::DownloadLeadTime, false, false, false, 0, 3600},
    {"DeleteAfterDownload", &Def::DeleteAfterDownload},
    {"FTPUseSSL", &Def::FTPUseSSL},
};

const auto kFieldList = [] {
    std::array<const TSiteField*, std::size(kFields)> list{};
    for (size_t i = 0; i < std::size(kFields); ++i)
        list[i] = &kFields[i];
    return list;
}();

constexpr std::array<std::string_view, 4> kFrequencies = {"daily", "weekly", "monthly", "yearly"};

template <class... F> struct Overloaded : F... { using F::operator()...; };
template <class... F> Overloaded(F...) -> Overloaded<F...>;

[[noreturn]] void badValue(const TSiteField& field, const std::string& text,
                           const std::string& expected) {
    throw ECliUsage("invalid value for " + std::string(field.Name) + ": \"" + text + "\" (" +
                    expected + ")");
}

} // namespace

std::span<const TSiteField* const> SiteFields() {
    return kFieldList;
}

std::string_view FieldName(const TSiteField& field) {
    return field.Name;
}

const TSiteField& FindSiteField(std::string_view name) {
    for (const TSiteField& field : kFields)
        if (EqualsNoCase(field.Name, name))
            return field;
    throw ECliUsage("unknown field: " + std::string(name));
}

nlohmann::json FieldJson(const TSiteField& field, const Def& d) {
    return std::visit(
        Overloaded{
            [&](std::string Def::*m) -> nlohmann::json {
                return field.Secret && !(d.*m).empty() ? std::string("****") : d.*m;
            },
            [&](int32_t Def::*m) -> nlohmann::json { return d.*m; },
            [&](bool Def::*m) -> nlohmann::json { return d.*m; },
            [&](TDateTime Def::*m) -> nlohmann::json { return FormatDateTime(d.*m); },
            [&](TScheduleFrequency Def::*m) -> nlohmann::json {
                return std::string(kFrequencies[static_cast<size_t>(d.*m) % kFrequencies.size()]);
            },
            [&](TFTPProxyType Def::*m) -> nlohmann::json { return static_cast<int>(d.*m); },
        },
        field.Field);
}

std::string FieldText(const TSiteField& field, const Def& d) {
    const nlohmann::json value = FieldJson(field, d);
    if (value.is_string())
        return value.get<std::string>();
    return value.dump();
}

std::string DownloadFolderFromCommandLine(const std::string& folder) {
    if (Trim(folder).empty())
        return {};
    std::string absolute = std::filesystem::absolute(folder).lexically_normal().generic_string();
    if (absolute.size() > 1 && absolute.back() == '/')
        absolute.pop_back();
    return StoredFolderPath(absolute);
}

void SetField(const TSiteField& field, Def& d, const std::string& text) {
    if (field.ReadOnly)
        throw ECliUsage(std::string(field.Name) + " cannot be changed");
    std::visit(Overloaded{
                   [&](std::string Def::*m) {
                       d.*m = field.Folder ? DownloadFolderFromCommandLine(text) : text;
                   },
                   [&](int32_t Def::*m) {
                       int value = 0;
                       if (!TryStrToInt(text, value))
                           badValue(field, text, "a whole number");
                       if (value < field.Min || value > field.Max)
                           badValue(field, text,
                                    std::to_string(field.Min) + " to " +
                                        (field.Max == kMaxInt ? std::string("any")
                                                              : std::to_string(field.Max)));
                       d.*m = value;
                   },
                   [&](bool Def::*m) {
                       bool value = false;
                       if (!TryStrToBool(text, value))
                           badValue(field, text, "true or false");
                       d.*m = value;
                   },
                   [&](TDateTime Def::*m) {
                       TDateTime value;
                       if (!ParseDateTime(text, value))
                           badValue(field, text, "YYYY-MM-DD, YYYY-MM-DD hh:mm[:ss] or hh:mm[:ss]");
                       d.*m = value;
                   },
                   [&](TScheduleFrequency Def::*m) {
                       for (size_t i = 0; i < kFrequencies.size(); ++i) {
                           int number = -1;
                           if (EqualsNoCase(Trim(text), kFrequencies[i]) ||
                               (TryStrToInt(text, number) && number == static_cast<int>(i))) {
                               d.*m = static_cast<TScheduleFrequency>(i);
                               return;
                           }
                       }
                       badValue(field, text, "daily, weekly, monthly or yearly");
                   },
                   [&](TFTPProxyType Def::*m) {
                       int value = 0;
                       if (!TryStrToInt(text, value) || value < 0 || value > 9)
                           badValue(field, text, "0 to 9");
                       d.*m = static_cast<TFTPProxyType>(value);
                   },
               },
               field.Field);
}

} // namespace tlv::cli
