#include "download/FtpCheck.h"

#include "core/Convert.h"
#include "download/FtpClient.h"
#include "storage/Translate.h"

namespace tlv {

namespace {

using namespace std::chrono_literals;

// QUIT is a courtesy here; the window should not wait long for its answer.
constexpr auto QuitReplyWait = 500ms;

TFtpSettings commonSettings(const std::string& host, int32_t port, const std::string& user,
                            const std::string& password) {
    TFtpSettings s;
    s.Host = host;
    s.Port = static_cast<uint16_t>(port & 0xFFFF);
    s.Username = user;
    s.Password = password;
    s.Passive = true;
    s.ConnectTimeout = 10000ms;
    return s;
}

TFtpSettings settingsFor(const TKeltroSiteDefinition& d) {
    TFtpSettings s = commonSettings(d.FTPHost, d.FTPPort, d.FTPUsername, d.FTPPassword);
    s.ProxyType = d.FPType;
    s.ProxyHost = d.FPHost;
    s.ProxyPort = static_cast<uint16_t>(d.FPPort & 0xFFFF);
    s.ProxyUsername = d.FPUserName;
    s.ProxyPassword = d.FPPassword;
    return s;
}

} // namespace

TCheckFTPOutcome CheckFTP(const TFTPPageValues& page) {
    TCheckFTPOutcome outcome;
    outcome.OperationLabel = Translate("TXT_NS_OP_CHECKFTP");
    outcome.Host = page.Host;
    int port = 21;
    outcome.Port = TryStrToInt(page.PortText, port) ? port : 21;
    outcome.Username = page.Username;
    outcome.Password = page.Password;
    outcome.Download = true;

    if (outcome.Host.empty()) {
        outcome.Download = false;
        outcome.Result = true;
        return outcome;
    }
    if (outcome.Host.find("://") != std::string::npos) {
        outcome.ErrorMessage = Translate("ERR_NS_DONTUSEFTPPROTOCOL");
        return outcome;
    }

    TFtpSettings settings =
        commonSettings(outcome.Host, outcome.Port, outcome.Username, outcome.Password);
    settings.ProxyType = page.ProxyType;
    settings.ProxyHost = page.ProxyHost;
    settings.ProxyPort = static_cast<uint16_t>(page.ProxyPort & 0xFFFF);
    settings.ProxyUsername = page.ProxyUsername;
    settings.ProxyPassword = page.ProxyPassword;
    try {
        FtpClient client(settings);
        client.Connect();
        client.Quit(QuitReplyWait);
        outcome.Result = true;
    } catch (const std::exception&) {
        outcome.ErrorMessage = Translate("ERR_NS_OP_CHECKFTP");
    }
    outcome.OperationLabel.clear();
    return outcome;
}

TListFolderOutcome ListFolder(const TKeltroSiteDefinition& definition,
                              const std::string& currentFolder, const std::string& name) {
    TListFolderOutcome outcome;
    outcome.CurrentFolder = currentFolder;
    const std::string target = currentFolder + "/" + name;

    FtpClient client(settingsFor(definition));
    try {
        client.Connect();
    } catch (const std::exception&) {
        outcome.ErrorMessage = Translate("ERR_NS_OP_CHECKFTP");
        return outcome;
    }

    std::string folder;
    try {
        if (target != "/")
            client.ChangeDir(target);
        folder = client.PrintWorkingDir();
    } catch (const std::exception&) {
        outcome.ErrorMessage = Translate("ERR_NS_CANTCHANGEDIR");
        client.Quit(QuitReplyWait);
        return outcome;
    }

    std::vector<TFtpListEntry> entries;
    try {
        entries = client.List();
    } catch (const std::exception&) {
        outcome.ErrorMessage = Translate("ERR_NS_CANTLIST");
        client.Quit(QuitReplyWait);
        return outcome;
    }

    outcome.Success = true;
    outcome.CurrentFolder = folder;
    // A listing does not tell whether a link leads to a folder; offering it costs a refused
    // CWD at worst, hiding it would make the folder unreachable.
    for (const auto& entry : entries)
        if (entry.IsDirectory || entry.IsSymbolicLink)
            outcome.Folders.push_back(entry.Name);
    client.Quit(QuitReplyWait);
    return outcome;
}

TFTPTestOutcome TestFTPConnection(const TKeltroSiteDefinition& definition,
                                  const std::function<void()>& processPending) {
    auto pending = [&] {
        if (processPending)
            processPending();
    };
    TFtpSettings settings = settingsFor(definition);
    if (definition.FTPUseSSL) {
        settings.ImplicitTLS = true;
        if (settings.Port == 21)
            settings.Port = 990;
    }

    TFTPTestOutcome outcome{true, Translate("CONNECTION_SUCCESS")};
    FtpClient client(settings);
    pending();
    try {
        client.Connect();
    } catch (const std::exception& e) {
        return {false, Translate("FTP_NO_CONNECTION") + "\n" + e.what()};
    }
    pending();
    try {
        client.ChangeDir(definition.FTPInitialDirectory);
    } catch (const std::exception& e) {
        outcome = {false, Translate("FTP_NO_DIR") + "\n" + e.what()};
    }
    pending();
    client.Quit(QuitReplyWait);
    return outcome;
}

} // namespace tlv
