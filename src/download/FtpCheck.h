#pragma once

#include "sites/KeltroTypes.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tlv {

// The interactive FTP operations that help a user get a site's FTP settings right: the check
// of the wizard's FTP page, the wizard's folder browser and the site editor's FTP test. Each
// opens one short connection (passive, 10 s to connect), never downloads, and returns what the
// window shows; the windows put up the boxes. UI thread (they block while the server answers).

// What the wizard's FTP page holds: its edit boxes and its FTP proxy values.
struct TFTPPageValues {
    std::string Host;     // edtURL
    std::string PortText; // edtPort
    std::string Username;
    std::string Password;
    TFTPProxyType ProxyType = TFTPProxyType::NoProxy;
    std::string ProxyHost;
    std::string ProxyUsername;
    std::string ProxyPassword;
    int32_t ProxyPort = 0;
};

struct TCheckFTPOutcome {
    bool Result = false;        // the wizard may take the values
    std::string ErrorMessage;   // the error box's text; empty when no box is shown
    std::string OperationLabel; // what the page's OperationLabel shows afterwards
    // The values the wizard takes after a true result.
    std::string Host;
    int32_t Port = 21;
    std::string Username;
    std::string Password;
    bool Download = true; // into DownloadWhenDone and DownloadLogOnFailure
};

// The check behind Next on the FTP page: an empty host skips FTP, a host written with a scheme
// is refused, anything else must connect and log in.
TCheckFTPOutcome CheckFTP(const TFTPPageValues& page);

struct TListFolderOutcome {
    bool Success = false;
    std::string ErrorMessage;         // the error box's text when not successful
    std::string CurrentFolder;        // the folder the server confirmed; unchanged on failure
    std::vector<std::string> Folders; // its sub-folders in listing order (on success only)
};

// The folder browser: moves from `currentFolder` to `name` (a sub-folder, ".." for the parent,
// empty for the folder itself; the first call, with both empty, lands where the login starts)
// and lists the sub-folders there. Uses the FTP server and proxy fields of `definition`.
TListFolderOutcome ListFolder(const TKeltroSiteDefinition& definition,
                              const std::string& currentFolder, const std::string& name);

struct TFTPTestOutcome {
    bool Passed = false; // information box when passed, error box otherwise
    std::string Message;
};

// The site editor's FTP test with the editor's read-out: log in (implicit TLS when FTPUseSSL is
// set) and change into FTPInitialDirectory. `processPending` runs at the points where the
// window may repaint.
TFTPTestOutcome TestFTPConnection(const TKeltroSiteDefinition& definition,
                                  const std::function<void()>& processPending = {});

} // namespace tlv
