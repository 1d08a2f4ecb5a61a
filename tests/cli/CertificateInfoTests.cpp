// The certificate values shown before a certificate is trusted, against the openssl tool's own
// reading of the same files, and the certificate request against a real TLS server.

#include "common/HttpProxy.h"
#include "common/Sandbox.h"
#include "common/TestCertificates.h"
#include "common/XmlRpcPeer.h"
#include "core/Text.h"
#include "remote/CertificateInfo.h"
#include "sites/KeltroTypes.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace tlv::test {
namespace {

std::string toolOutput(const std::string& command) {
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    std::string text;
    char buffer[4096];
    for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
        text.append(buffer, n);
    return std::string(Trim(text));
}

// "name=value" of one openssl x509 query, the value alone.
std::string toolValue(const std::string& pem, const std::string& query) {
    const std::string line = toolOutput("openssl x509 -in '" + pem + "' -noout " + query);
    return line.substr(line.find('=') + 1);
}

// "59EB41C7" (or "81:49:...") as lowercase pairs joined by ":".
std::string pairs(const std::string& hex) {
    std::string digits;
    for (char c : hex)
        if (c != ':')
            digits += c;
    std::string text;
    for (size_t i = 0; i < digits.size(); i += 2)
        text += (i ? ":" : "") + ToLowerAscii(digits.substr(i, 2));
    return text;
}

TCertificateInfo readPem(const std::string& pem) {
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(pem.c_str(), "r"), &fclose);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_X509(file.get(), nullptr, nullptr, nullptr), &X509_free);
    return ReadCertificateInfo(certificate.get());
}

TEST(CertificateInfo, ValuesMatchTheOpensslToolsReading) {
    Sandbox sandbox;
    const TestCertificate selfSigned = MakeSelfSignedCertificate(sandbox.Path("self"));
    const TestCertificate chain = MakeCertificateChain(sandbox.Path("chain"));
    for (const std::string& pem : {selfSigned.LeafFile, chain.LeafFile}) {
        SCOPED_TRACE(pem);
        const TCertificateInfo info = readPem(pem);
        EXPECT_EQ(info.Signature, OpenSslSignatureText(pem));
        EXPECT_EQ(info.Fingerprint, pairs(toolValue(pem, "-fingerprint -md5")));
        EXPECT_EQ(info.Fingerprint.size(), 16u * 3 - 1);
        EXPECT_EQ(info.Subject, toolValue(pem, "-subject -nameopt compat"));
        EXPECT_EQ(info.Issuer, toolValue(pem, "-issuer -nameopt compat"));
        EXPECT_EQ(info.SerialNumber, pairs(toolValue(pem, "-serial")));
    }
    const TCertificateInfo leaf = readPem(chain.LeafFile);
    EXPECT_EQ(leaf.Subject, "/CN=127.0.0.1");
    EXPECT_EQ(leaf.Issuer, "/CN=Tolvane Test CA");
    EXPECT_EQ(leaf.SerialNumber, "02");
}

class CertificateRequestTest : public ::testing::Test {
protected:
    CertificateRequestTest() { sandbox.UseDatabase(); }

    TCertificateRequest Request(const XmlRpcPeer& server) const {
        TCertificateRequest request;
        request.URL = "127.0.0.1" + XmlRpcPeer::Path();
        request.Port = server.Port();
        return request;
    }

    Sandbox sandbox;
};

TEST_F(CertificateRequestTest, AsksAboutTheServersOwnCertificateOnceAndKeepsItWhenTrusted) {
    const TestCertificate chain = MakeCertificateChain(sandbox.Path("certs"));
    XmlRpcPeer server(sandbox.Path("server"), {"--cert", chain.CertFile, "--key", chain.KeyFile});
    TCertificateRequest request = Request(server);
    request.CertificateSignature = "left over from before";
    std::vector<TCertificateInfo> asked;
    request.OnVerify = [&](const TCertificateInfo& info) {
        asked.push_back(info);
        return true;
    };
    request.Execute();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Subject, "/CN=127.0.0.1");
    EXPECT_EQ(asked[0].Signature, OpenSslSignatureText(chain.LeafFile));
    EXPECT_EQ(request.CertificateSignature, asked[0].Signature);
    // The request went to the site's own port and address.
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].Path, XmlRpcPeer::Path());
}

TEST_F(CertificateRequestTest, GoesThroughTheSitesProxy) {
    const TestCertificate certificate = MakeSelfSignedCertificate(sandbox.Path("certs"));
    XmlRpcPeer server(sandbox.Path("server"),
                      {"--cert", certificate.CertFile, "--key", certificate.KeyFile});
    HttpProxy proxy(sandbox.Path("proxy"));
    TCertificateRequest request = Request(server);
    request.ProxyServer = "127.0.0.1";
    request.ProxyPort = proxy.Port();
    request.OnVerify = [](const TCertificateInfo&) { return true; };
    request.Execute();
    EXPECT_EQ(request.CertificateSignature, OpenSslSignatureText(certificate.LeafFile));
    EXPECT_NE(proxy.Log().find("CONNECT 127.0.0.1:" + std::to_string(server.Port())),
              std::string::npos)
        << proxy.Log();
}

TEST_F(CertificateRequestTest, ACertificateNotTrustedFailsTheRequestAndKeepsNothing) {
    const TestCertificate certificate = MakeSelfSignedCertificate(sandbox.Path("certs"));
    XmlRpcPeer server(sandbox.Path("server"),
                      {"--cert", certificate.CertFile, "--key", certificate.KeyFile});
    TCertificateRequest request = Request(server);
    request.OnVerify = [](const TCertificateInfo&) { return false; };
    EXPECT_THROW(request.Execute(), EKTLayerException);
    EXPECT_TRUE(request.CertificateSignature.empty());
    EXPECT_TRUE(server.Requests().empty());

    // Nobody listening: the failure names the connection.
    request.Port = FreeLoopbackPort();
    request.OnVerify = [](const TCertificateInfo&) { return true; };
    try {
        request.Execute();
        ADD_FAILURE() << "no server, yet the request succeeded";
    } catch (const EKTLayerException& e) {
        EXPECT_NE(std::string(e.what()).find("HTTP request failed"), std::string::npos);
    }
}

} // namespace
} // namespace tlv::test
