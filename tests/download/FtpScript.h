#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Building blocks of scripts for the scripted FTP server (tests/peers/scripted_ftp.py).
namespace tlv::test::ftpscript {

using nlohmann::json;

inline json Step(const std::string& command, const json& reply) {
    return {{"cmd", command}, {"reply", reply}};
}

// USER/PASS/FEAT/CLNT/TYPE A as the client sends them to a server that offers CLNT.
inline json LoginSteps(const std::string& user = "bob", const std::string& password = "secret") {
    return json::array(
        {Step("USER " + user, "331 Password required"), Step("PASS " + password, "230 Logged in"),
         Step("FEAT", json::array({"211-Features:", " CLNT", " SIZE", " PASV", "211 End"})),
         Step("CLNT VAReduro 1.0", "200 Noted"), Step("TYPE A", "200 Type A")});
}

inline const std::vector<std::string>& LoginTranscript() {
    static const std::vector<std::string> lines = {"USER bob", "PASS secret", "FEAT",
                                                   "CLNT VAReduro 1.0", "TYPE A"};
    return lines;
}

inline json Pasv() {
    return {{"cmd", "PASV"}, {"pasv", true}};
}

// RETR of `size` pattern bytes with the given extra data options.
inline json Retr(const std::string& name, std::size_t size, json dataOptions = json::object()) {
    dataOptions["size"] = size;
    return {
        {"cmd", "RETR " + name}, {"reply", "150 Opening data connection"}, {"data", dataOptions}};
}

inline json Script(const json& steps) {
    return {{"steps", steps}};
}

inline json Concat(json a, const json& b) {
    for (const auto& step : b)
        a.push_back(step);
    return a;
}

} // namespace tlv::test::ftpscript
