#include "common/XmlRpcPeer.h"

#include "common/Sandbox.h"
#include "core/Text.h"

#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tlv::test {

std::string RecordedRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : Headers)
        if (EqualsNoCase(key, name))
            return value;
    return {};
}

XmlRpcPeer::XmlRpcPeer(const fs::path& folder, const std::vector<std::string>& options)
    : m_folder(folder) {
    fs::create_directories(m_folder);
    const fs::path portFile = m_folder / "xmlrpc.port";
    fs::remove(portFile);
    std::vector<std::string> argv = {
        SystemPython(), std::string(TOLVANE_PEERS_DIR) + "/xmlrpc_server.py",
        "--port-file",  portFile.string(),
        "--requests",   (m_folder / "xmlrpc.requests").string()};
    argv.insert(argv.end(), options.begin(), options.end());
    m_process = std::make_unique<PeerProcess>(argv, (m_folder / "xmlrpc.log").string());
    // The server binds port 0 and writes the port it got, so no other process can take it
    // between choosing and binding.
    if (!WaitFor([&] { return fs::exists(portFile) || !m_process->Running(); },
                 std::chrono::seconds(15)) ||
        !fs::exists(portFile))
        throw std::runtime_error("xmlrpc_server.py did not start: " + Log());
    m_port = std::stoi(ReadFileText(portFile));
}

XmlRpcPeer::~XmlRpcPeer() = default;

std::vector<RecordedRequest> XmlRpcPeer::Requests() const {
    std::vector<RecordedRequest> requests;
    std::istringstream lines(ReadFileText(m_folder / "xmlrpc.requests"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty())
            continue;
        const auto entry = nlohmann::json::parse(line);
        RecordedRequest request;
        request.Method = entry.at("method").get<std::string>();
        request.Path = entry.at("path").get<std::string>();
        request.Version = entry.at("version").get<std::string>();
        for (const auto& header : entry.at("headers"))
            request.Headers.emplace_back(header.at(0).get<std::string>(),
                                         header.at(1).get<std::string>());
        // The body travels as hex so that its bytes come back exactly.
        const std::string hex = entry.at("body_hex").get<std::string>();
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            request.Body += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        if (!entry.at("call").is_null())
            request.Call = entry.at("call").get<std::string>();
        requests.push_back(std::move(request));
    }
    return requests;
}

std::vector<std::string> XmlRpcPeer::Calls() const {
    std::vector<std::string> calls;
    for (const auto& request : Requests())
        calls.push_back(request.Call);
    return calls;
}

std::string XmlRpcPeer::Log() const {
    return ReadFileText(m_folder / "xmlrpc.log");
}

} // namespace tlv::test
