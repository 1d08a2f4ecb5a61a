#pragma once

#include "common/Peers.h"

#include <filesystem>
#include <memory>
#include <string>

namespace tlv::test {

// A real HTTP proxy (tinyproxy) on 127.0.0.1 for the proxy paths of the tests: plain requests
// and CONNECT tunnels to any port. With a user name it demands HTTP basic authentication and
// answers 407 without it (tinyproxy takes user names and passwords without blanks). Its
// configuration and log live in `folder` (a sandbox folder); the proxy stops when the object goes.
class HttpProxy {
public:
    explicit HttpProxy(const std::filesystem::path& folder, const std::string& user = {},
                       const std::string& password = {});
    ~HttpProxy();
    HttpProxy(const HttpProxy&) = delete;
    HttpProxy& operator=(const HttpProxy&) = delete;

    int Port() const { return m_port; }
    // The proxy's own log: one "Request (file descriptor N): GET http://..." or
    // "CONNECT host:port" line per request it received, so a test can tell that traffic went
    // through it.
    std::string Log() const;

private:
    std::filesystem::path m_folder;
    int m_port = 0;
    std::unique_ptr<PeerProcess> m_process;
};

} // namespace tlv::test
