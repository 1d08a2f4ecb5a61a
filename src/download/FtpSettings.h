#pragma once

#include "sites/KeltroTypes.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace tlv {

// Where an FTP session goes and how: everything an FtpClient needs before it connects.
struct TFtpSettings {
    std::string Host;
    uint16_t Port = 21;
    std::string Username;
    std::string Password;

    // FTP proxy of the given login type (HttpProxyWithFtp: an HTTP proxy that tunnels the
    // control and data connections with CONNECT). Custom and NoProxy connect directly.
    TFTPProxyType ProxyType = TFTPProxyType::NoProxy;
    std::string ProxyHost;
    uint16_t ProxyPort = 0;
    std::string ProxyUsername;
    std::string ProxyPassword;

    bool Passive = true;
    // TLS from the first byte on the control connection and on every data connection.
    bool ImplicitTLS = false;

    // Sent as "CLNT <name> <version>" when the server's feature list names CLNT.
    std::string ClientName = "VAReduro";
    std::string ClientVersion = "1.0";

    // Connecting (name look-up, TCP, proxy tunnel and TLS handshake) must finish within
    // ConnectTimeout; every reply, and every chunk of a transfer, within ReplyTimeout.
    std::chrono::milliseconds ConnectTimeout{10000};
    std::chrono::milliseconds ReplyTimeout{30000};
};

} // namespace tlv
