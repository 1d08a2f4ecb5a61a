#pragma once

#include "common/Peers.h"

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tlv::test {

// One request as the test server received it.
struct RecordedRequest {
    std::string Method; // HTTP method
    std::string Path;
    std::string Version;                                      // "HTTP/1.0"
    std::vector<std::pair<std::string, std::string>> Headers; // in the order sent
    std::string Body;
    std::string Call; // the XML-RPC method name; empty when the body was not a call

    // The value of the first header of that name (letter case ignored); empty when absent.
    std::string Header(const std::string& name) const;
};

// The test server of the remote backup API (tests/peers/xmlrpc_server.py) on 127.0.0.1,
// started with the given switches (see the script) and stopped when the object goes. Its port
// file, request record and log live in `folder`.
class XmlRpcPeer {
public:
    explicit XmlRpcPeer(const std::filesystem::path& folder,
                        const std::vector<std::string>& options = {});
    ~XmlRpcPeer();
    XmlRpcPeer(const XmlRpcPeer&) = delete;
    XmlRpcPeer& operator=(const XmlRpcPeer&) = delete;

    int Port() const { return m_port; }
    // The endpoint path the server expects by default.
    static std::string Path() { return "/remote/index.php"; }
    static std::string User() { return "admin"; }
    static std::string Password() { return "s3cret"; }

    std::vector<RecordedRequest> Requests() const;
    // The XML-RPC method names received, in order.
    std::vector<std::string> Calls() const;
    std::string Log() const;

private:
    std::filesystem::path m_folder;
    int m_port = 0;
    std::unique_ptr<PeerProcess> m_process;
};

} // namespace tlv::test
