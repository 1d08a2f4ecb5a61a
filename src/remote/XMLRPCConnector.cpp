#include "remote/XMLRPCConnector.h"

#include "core/Exceptions.h"
#include "core/Text.h"
#include "storage/Translate.h"

#include <algorithm>

namespace tlv {

namespace {

// Runs one operation's call and reading; whatever fails reaches the user as EKTLayerException
// with the same message.
template <class Operation> void asLayerError(Operation&& operation) {
    try {
        operation();
    } catch (const EKTLayerException&) {
        throw;
    } catch (const std::exception& error) {
        throw EKTLayerException(error.what());
    } catch (...) {
        throw EKTLayerException("Unknown error in the remote call");
    }
}

int readField(const std::string& text, std::string_view part, size_t pos, size_t len) {
    if (pos + len > part.size())
        throw EConvertError("'" + text + "' is not a valid date and time");
    int value = 0;
    for (char c : part.substr(pos, len)) {
        if (c < '0' || c > '9')
            throw EConvertError("'" + text + "' is not a valid date and time");
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

TDateTime ParseBackupStart(const std::string& text) {
    const size_t blank = text.find(' ');
    if (blank == std::string::npos)
        throw EConvertError("'" + text + "' is not a valid date and time");
    const std::string_view date = std::string_view(text).substr(0, blank);
    const std::string_view time = std::string_view(text).substr(blank + 1);
    TDateTime day;
    TDateTime clock;
    if (!TDateTime::TryEncodeDate(readField(text, date, 0, 4), readField(text, date, 5, 2),
                                  readField(text, date, 8, 2), day) ||
        !TDateTime::TryEncodeTime(readField(text, time, 0, 2), readField(text, time, 3, 2),
                                  readField(text, time, 6, 2), 0, clock))
        throw EConvertError("'" + text + "' is not a valid date and time");
    return TDateTime::Combine(day, clock);
}

TKeltroBackupArray ReadBackups(const TResult& result) {
    TKeltroBackupArray backups;
    if (!result.IsArray())
        return backups;
    const TArray& items = result.GetArray();
    backups.resize(static_cast<size_t>(items.Count()));
    for (int i = 0; i < items.Count(); ++i) {
        const TStruct& record = items.GetStruct(i);
        TKeltroBackupEntry& entry = backups[static_cast<size_t>(i)];
        entry.id = record.GetInteger("id");
        entry.description = record.GetString("description");
        entry.backupstart = ParseBackupStart(record.GetString("backupstart"));
        entry.status = record.GetString("status");
        entry.origin = record.GetString("origin");
        entry.type = record.GetString("type");
        entry.meta = record.GetString("meta");
        entry.profile = record.GetInteger("profile");
        entry.archivename = record.GetString("archivename");
    }
    return backups;
}

TConnectorXMLRPC::TConnectorXMLRPC() {
    Caller.OnLog = [this](const std::string& line) { log(line); };
}

void TConnectorXMLRPC::log(const std::string& line) const {
    if (OnLog)
        OnLog(line);
}

void TConnectorXMLRPC::LoadSiteDefinition(const TKeltroSiteDefinition& definition) {
    URL = definition.URL;
    Port = definition.Port;
    UseSSL = definition.UseSSL;
    ProxyServer = definition.ProxyServer;
    ProxyPort = definition.ProxyPort;
    ProxyUsername = definition.ProxyUsername;
    ProxyPassword = definition.ProxyPassword;
    BasicAuthentication = definition.BasicAuthentication;
    CertificateSignature = definition.CertificateSignature;
    Username = definition.Username;
    Password = definition.Password;
    Profile = definition.Profile;

    log("Initializing XML-RPC Connector from site definition");
    log("Host / Port :" + URL + " / " + std::to_string(Port));
    log("Using profile #" + std::to_string(Profile));
    if (!ProxyServer.empty())
        log("Using HTTP proxy");
    if (UseSSL)
        log("Using HTTP over SSL (HTTPS) secure protocol");
    if (UseSSL && CertificateSignature.empty())
        log("WARNING! SSL certificate signature is not set; backup might fail");

    Caller.LogMaskUser = Username;
    Caller.LogMaskPassword = Password;
}

TResult TConnectorXMLRPC::call(const std::string& method, bool withCredentials, bool withProfile,
                               const int32_t* extra) {
    const size_t slash = URL.find('/');
    Caller.Host = URL.substr(0, slash);
    Caller.Path = slash == std::string::npos ? std::string() : URL.substr(slash);
    Caller.Port = Port;
    Caller.UseSSL = UseSSL;
    Caller.ProxyServer = ProxyServer;
    Caller.ProxyPort = ProxyPort;
    Caller.ProxyUsername = ProxyUsername;
    Caller.ProxyPassword = ProxyPassword;
    Caller.BasicAuthentication = BasicAuthentication;
    Caller.CertificateSignature = CertificateSignature;

    TFunction function;
    function.SetMethodName(method);
    if (withCredentials) {
        function.AddString(Username);
        function.AddString(Password);
    }
    if (withProfile)
        function.AddInteger(Profile);
    if (extra)
        function.AddInteger(*extra);

    TResult result = Caller.Call(function);
    if (result.IsError())
        throw EKTLayerException(result.GetErrorString());
    return result;
}

void TConnectorXMLRPC::GetAPI() {
    asLayerError([&] { APIVersion = call("keltro.getAPI", false, false).GetString(); });
}

void TConnectorXMLRPC::GetFilename() {
    asLayerError([&] { Filename = call("keltro.getFilename", true, true).GetString(); });
}

void TConnectorXMLRPC::GetBackups() {
    asLayerError([&] { Backups = ReadBackups(call("keltro.getBackups", true, false)); });
}

void TConnectorXMLRPC::GetParts(int32_t backupID) {
    asLayerError([&] {
        const TResult result =
            call("keltro.getParts", true, true, backupID >= 0 ? &backupID : nullptr);
        const TArray& items = result.GetArray();
        TKeltroBackupFilenames parts(static_cast<size_t>(items.Count()));
        for (int i = 0; i < items.Count(); ++i)
            parts[static_cast<size_t>(i)] = items.GetString(i);
        Parts = std::move(parts);
    });
}

void TConnectorXMLRPC::GetProfiles() {
    asLayerError([&] {
        const TResult result = call("keltro.getProfiles", true, false);
        TKeltroProfileArray profiles;
        if (result.IsArray()) {
            const TArray& items = result.GetArray();
            profiles.resize(static_cast<size_t>(items.Count()));
            for (int i = 0; i < items.Count(); ++i) {
                // Member names are not looked at: the first member is the id, the second the
                // description.
                const TStruct& record = items.GetStruct(i);
                profiles[static_cast<size_t>(i)].id = record.GetInteger(0);
                profiles[static_cast<size_t>(i)].description = record.GetString(1);
            }
        }
        Profiles = std::move(profiles);
    });
}

void TConnectorXMLRPC::StartBackup() {
    asLayerError([&] { readResponse(call("keltro.startBackup", true, true)); });
}

void TConnectorXMLRPC::ContinueBackup() {
    // Step replies of some servers write empty strings in forms the decoder would otherwise
    // drop; from the first continue call on they are read as empty strings.
    Caller.SwitchOnFixEmptyValues();
    asLayerError([&] { readResponse(call("keltro.continueBackup", true, true)); });
}

void TConnectorXMLRPC::readResponse(const TResult& result) {
    if (!result.IsStruct())
        throw EKTLayerException("TResult.GetErrorString - Item is not a error string");
    const TStruct& step = result.GetStruct();
    if (step.HasMember("IsFinished"))
        Response.IsFinished = step.GetBoolean("IsFinished");
    if (step.HasMember("Domain"))
        Response.Domain = step.GetString("Domain");
    if (step.HasMember("Step"))
        Response.Step = step.GetString("Step");
    if (step.HasMember("Substep"))
        Response.Substep = step.GetString("Substep");
    if (step.HasMember("Error"))
        Response.Error = step.GetString("Error");
    if (step.HasMember("Warnings"))
        Response.Warnings = step.GetString("Warnings");
    if (!Trim(Response.Error).empty())
        throw EKTLayerException(Response.Error);
}

void TConnectorXMLRPC::SetLayerError(const std::string& message) noexcept {
    try {
        Response.Error = Translate("ERR_XMLRPCLAYER") + message;
    } catch (...) {
        // Out of memory while building the text: the message alone still tells the reason.
        try {
            Response.Error = message;
        } catch (...) {
        }
    }
}

} // namespace tlv
