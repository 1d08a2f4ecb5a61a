#pragma once

#include "remote/XmlRpcCall.h"
#include "sites/KeltroTypes.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tlv {

// The typed client of a site's remote backup API: one operation per remote method, each
// storing its result in the fields below. Every failure is raised as EKTLayerException with
// the underlying message. Used by one thread at a time; an operation blocks that thread for the
// whole exchange, and OnLog runs on it.
class TConnectorXMLRPC {
public:
    TConnectorXMLRPC();
    TConnectorXMLRPC(const TConnectorXMLRPC&) = delete;
    TConnectorXMLRPC& operator=(const TConnectorXMLRPC&) = delete;

    // Connection settings and credentials, from a site definition or filled in by the user.
    std::string URL; // host followed by the endpoint path
    int32_t Port = 0;
    bool UseSSL = false;
    std::string ProxyServer;
    int32_t ProxyPort = 0;
    std::string ProxyUsername;
    std::string ProxyPassword;
    bool BasicAuthentication = false;
    std::string CertificateSignature;
    std::string Username;
    std::string Password;
    int32_t Profile = 0;

    // Results. APIVersion stays set once GetAPI has succeeded; Response keeps its values
    // between calls; the lists are replaced whole by each successful call of their operation.
    std::string APIVersion;
    std::string Filename;
    TKeltroBackupFilenames Parts;
    TKeltroProfileArray Profiles;
    TKeltroBackupArray Backups;
    TKeltroKOVAResponse Response;

    TCaller Caller;
    // Receives the connector's and the caller's log lines.
    std::function<void(const std::string&)> OnLog;

    // Copies the settings and credentials of `definition` and logs what it will use.
    void LoadSiteDefinition(const TKeltroSiteDefinition& definition);

    void GetAPI();      // "keltro.getAPI"
    void GetFilename(); // "keltro.getFilename"
    void GetBackups();  // "keltro.getBackups"
    // "keltro.getParts"; a backup id below 0 means the backup that has just finished.
    void GetParts(int32_t backupID);
    void GetProfiles();    // "keltro.getProfiles"
    void StartBackup();    // "keltro.startBackup"
    void ContinueBackup(); // "keltro.continueBackup"

    // Response.Error := the translated "ERR_XMLRPCLAYER" text followed by `message`.
    void SetLayerError(const std::string& message) noexcept;

private:
    TResult call(const std::string& method, bool withCredentials, bool withProfile,
                 const int32_t* extra = nullptr);
    void readResponse(const TResult& result);
    void log(const std::string& line) const;
};

// The backup records of a "keltro.getBackups" result; anything but an array gives none.
// Raises the accessor or conversion error of the first record that does not read.
TKeltroBackupArray ReadBackups(const TResult& result);

// "YYYY-MM-DD hh:mm:ss" as the server writes a backup's start; raises EConvertError.
TDateTime ParseBackupStart(const std::string& text);

} // namespace tlv
