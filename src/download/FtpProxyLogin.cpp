#include "download/FtpProxyLogin.h"

#include "download/FtpError.h"

namespace tlv {

namespace {

// USER, then PASS when asked for it, then ACCT when asked for an account.
void logIn(FtpControl& control, const std::string& user, const std::string& password,
           const std::string& account = {}) {
    TFtpReply reply = control.Command("USER " + user);
    if (reply.Code == 331)
        reply = control.Command("PASS " + password);
    if (reply.Code == 332) {
        if (account.empty())
            throw EFtpError(reply.Text(), reply.Code);
        reply = control.Command("ACCT " + account);
    }
    if (reply.Code != 230 && reply.Code != 202)
        throw EFtpError(reply.Text(), reply.Code);
}

void proxyCommand(FtpControl& control, const std::string& command) {
    TFtpReply reply = control.Command(command);
    if (reply.Kind() != 2)
        throw EFtpError(reply.Text(), reply.Code);
}

std::string targetName(const TFtpSettings& s) {
    return s.Port == 21 ? s.Host : s.Host + ":" + std::to_string(s.Port);
}

bool talksToFtpProxy(TFTPProxyType type) {
    return type >= TFTPProxyType::UserSite && type <= TFTPProxyType::NovellBorder;
}

} // namespace

TFtpRoute FtpRouteFor(const TFtpSettings& s) {
    TFtpRoute route{s.Host, s.Port, std::nullopt};
    if (s.ProxyType == TFTPProxyType::HttpProxyWithFtp && !s.ProxyHost.empty()) {
        route.Tunnel = TFtpHttpTunnel{s.ProxyHost, s.ProxyPort ? s.ProxyPort : uint16_t(8080),
                                      s.ProxyUsername, s.ProxyPassword};
    } else if (talksToFtpProxy(s.ProxyType) && !s.ProxyHost.empty()) {
        route.Host = s.ProxyHost;
        route.Port = s.ProxyPort ? s.ProxyPort : uint16_t(21);
    }
    return route;
}

void FtpProxyLogin(FtpControl& control, const TFtpSettings& s) {
    const bool firewallLogin = !s.ProxyUsername.empty();
    switch (s.ProxyType) {
    case TFTPProxyType::UserSite:
        if (firewallLogin)
            logIn(control, s.ProxyUsername, s.ProxyPassword);
        logIn(control, s.Username + "@" + targetName(s), s.Password);
        break;
    case TFTPProxyType::Site:
        if (firewallLogin)
            logIn(control, s.ProxyUsername, s.ProxyPassword);
        proxyCommand(control, "SITE " + targetName(s));
        logIn(control, s.Username, s.Password);
        break;
    case TFTPProxyType::Open:
        if (firewallLogin)
            logIn(control, s.ProxyUsername, s.ProxyPassword);
        proxyCommand(control, "OPEN " + targetName(s));
        logIn(control, s.Username, s.Password);
        break;
    case TFTPProxyType::UserPass:
        logIn(control, s.Username + "@" + s.ProxyUsername + "@" + targetName(s),
              s.Password + "@" + s.ProxyPassword);
        break;
    case TFTPProxyType::Transparent:
        logIn(control, s.ProxyUsername, s.ProxyPassword);
        logIn(control, s.Username, s.Password);
        break;
    case TFTPProxyType::UserHostFireWallID:
        logIn(control, s.Username + "@" + targetName(s) + " " + s.ProxyUsername, s.Password,
              s.ProxyPassword);
        break;
    case TFTPProxyType::NovellBorder:
        logIn(control,
              (firewallLogin ? s.ProxyUsername + "$" : "") + s.Username + "$" + targetName(s),
              (firewallLogin ? s.ProxyPassword + "$" : "") + s.Password);
        break;
    case TFTPProxyType::NoProxy:
    case TFTPProxyType::HttpProxyWithFtp:
    case TFTPProxyType::Custom:
    default:
        logIn(control, s.Username, s.Password);
        break;
    }
}

} // namespace tlv
