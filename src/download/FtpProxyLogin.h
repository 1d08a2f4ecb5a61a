#pragma once

#include "download/FtpControl.h"
#include "download/FtpSettings.h"

#include <optional>
#include <string>

namespace tlv {

// Where the control connection goes: the FTP proxy for the login types that talk to one, the
// server itself otherwise, and the HTTP tunnel for HttpProxyWithFtp.
struct TFtpRoute {
    std::string Host;
    uint16_t Port = 21;
    std::optional<TFtpHttpTunnel> Tunnel;
};

TFtpRoute FtpRouteFor(const TFtpSettings& settings);

// Logs in on a control connection that has read the server's (or proxy's) greeting, with the
// command sequence of the settings' proxy type:
//   NoProxy, HttpProxyWithFtp, Custom: USER user, PASS pass
//   UserSite:            [USER fwuser, PASS fwpass], USER user@host, PASS pass
//   Site:                [USER fwuser, PASS fwpass], SITE host, USER user, PASS pass
//   Open:                [USER fwuser, PASS fwpass], OPEN host, USER user, PASS pass
//   UserPass:            USER user@fwuser@host, PASS pass@fwpass
//   Transparent:         USER fwuser, PASS fwpass, USER user, PASS pass
//   UserHostFireWallID:  USER user@host fwuser, PASS pass (ACCT fwpass when asked)
//   NovellBorder:        USER [fwuser$]user$host, PASS [fwpass$]pass
// "host" carries ":port" when the server's port is not 21; the bracketed firewall login is sent
// only when a proxy user name is set. A 332 reply is answered with ACCT. Raises EFtpError with
// the refusing reply's text. Session thread only.
void FtpProxyLogin(FtpControl& control, const TFtpSettings& settings);

} // namespace tlv
