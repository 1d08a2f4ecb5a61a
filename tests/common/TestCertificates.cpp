#include "common/TestCertificates.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tlv::test {

namespace {
void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

std::string output(const std::string& command) {
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    if (!pipe)
        throw std::runtime_error("failed: " + command);
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
        text.append(buffer, n);
    return text;
}

std::string shellQuoted(const fs::path& path) {
    return "'" + path.string() + "'";
}
} // namespace

TestCertificate MakeSelfSignedCertificate(const fs::path& folder) {
    fs::create_directories(folder);
    TestCertificate result;
    result.CertFile = result.LeafFile = (folder / "server.pem").string();
    result.KeyFile = (folder / "server.key").string();
    run("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 1 -keyout " +
        shellQuoted(result.KeyFile) + " -out " + shellQuoted(result.CertFile));
    return result;
}

TestCertificate MakeCertificateChain(const fs::path& folder) {
    fs::create_directories(folder);
    TestCertificate result;
    result.CaFile = (folder / "ca.pem").string();
    const fs::path caKey = folder / "ca.key";
    result.LeafFile = (folder / "leaf.pem").string();
    result.KeyFile = (folder / "leaf.key").string();
    result.CertFile = (folder / "chain.pem").string();
    const fs::path request = folder / "leaf.csr";
    run("openssl req -x509 -newkey rsa:2048 -nodes -subj '/CN=Tolvane Test CA' -days 1 -keyout " +
        shellQuoted(caKey) + " -out " + shellQuoted(result.CaFile));
    run("openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout " +
        shellQuoted(result.KeyFile) + " -out " + shellQuoted(request));
    run("openssl x509 -req -days 1 -set_serial 2 -in " + shellQuoted(request) + " -CA " +
        shellQuoted(result.CaFile) + " -CAkey " + shellQuoted(caKey) + " -out " +
        shellQuoted(result.LeafFile));
    std::ofstream chain(result.CertFile, std::ios::binary | std::ios::trunc);
    chain << std::ifstream(result.LeafFile, std::ios::binary).rdbuf()
          << std::ifstream(result.CaFile, std::ios::binary).rdbuf();
    return result;
}

std::string OpenSslSignatureText(const std::string& pemFile) {
    const std::string text = output("openssl x509 -noout -text -in '" + pemFile + "'");
    const size_t start = text.rfind("Signature Value:");
    if (start == std::string::npos)
        throw std::runtime_error("no signature in " + pemFile);
    std::string signature;
    for (size_t i = text.find('\n', start); i < text.size(); ++i) {
        const char c = text[i];
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':')
            signature += c;
    }
    return signature;
}

} // namespace tlv::test
