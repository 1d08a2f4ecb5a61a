#include "RemoteTestSupport.h"
#include "common/HttpProxy.h"
#include "common/Sandbox.h"
#include "remote/CertificatePin.h"
#include "remote/XmlRpcCall.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <set>

namespace tlv {
namespace {

using test::XmlRpcPeer;

class XmlRpcCall : public testing::Test {
protected:
    void SetUp() override {
        caller.OnLog = [this](const std::string& line) { log.push_back(line); };
    }

    void aim(const XmlRpcPeer& peer, const std::string& path = XmlRpcPeer::Path()) {
        caller.Host = "127.0.0.1";
        caller.Path = path;
        caller.Port = peer.Port();
    }

    TResult getAPI() {
        TFunction function;
        function.SetMethodName("keltro.getAPI");
        return caller.Call(function);
    }

    bool logged(const std::string& fragment) const {
        for (const auto& line : log)
            if (line.find(fragment) != std::string::npos)
                return true;
        return false;
    }

    test::Sandbox sandbox;
    TCaller caller;
    std::vector<std::string> log;
};

TEST_F(XmlRpcCall, SendsExactlyTheDocumentAndHeaders) {
    XmlRpcPeer peer(sandbox.Path("peer"));
    aim(peer);
    TFunction function;
    function.SetMethodName("keltro.getFilename");
    function.AddString("admin");
    function.AddString("s3cret");
    function.AddInteger(1);
    const std::string document = function.Document();

    const TResult result = caller.Call(function);
    EXPECT_EQ(result.GetString(), "site-www.example.com-20240301-101500.kta");
    EXPECT_TRUE(function.MethodName().empty()) << "cleared after a decoded reply";

    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.Method, "POST");
    EXPECT_EQ(request.Path, "/remote/index.php");
    EXPECT_EQ(request.Version, "HTTP/1.0");
    EXPECT_EQ(request.Body, document);
    std::set<std::string> names;
    for (const auto& header : request.Headers)
        names.insert(header.first);
    EXPECT_EQ(names, (std::set<std::string>{"Host", "Accept", "Content-Type", "Content-Length",
                                            "User-Agent", "Accept-Charset"}));
    EXPECT_EQ(request.Header("Host"), "127.0.0.1:" + std::to_string(peer.Port()));
    EXPECT_EQ(request.Header("Accept"), "*/*");
    EXPECT_EQ(request.Header("Content-Type"), "text/xml");
    EXPECT_EQ(request.Header("Content-Length"), std::to_string(document.size()));
    EXPECT_EQ(request.Header("User-Agent"), "Mozilla/5.0 (Windows; U; Windows NT 6.1; en; "
                                            "rv:1.9.1.7) Gecko/20091221 Firefox/3.5.7 GTB6");
    EXPECT_EQ(request.Header("Accept-Charset"), "UTF-8,ISO-8859-1,US-ASCII");
}

TEST(XmlRpcAddress, PortIsWrittenExceptForPlainHttpOn80) {
    struct Case {
        bool ssl;
        int port;
        const char* expected;
    };
    const Case cases[] = {
        {false, 80, "http://example.com/remote/index.php"},
        {false, 443, "http://example.com:443/remote/index.php"},
        {false, 8080, "http://example.com:8080/remote/index.php"},
        {true, 443, "https://example.com:443/remote/index.php"},
        {true, 80, "https://example.com:80/remote/index.php"},
    };
    for (const auto& c : cases) {
        TCaller caller;
        caller.Host = "example.com";
        caller.Path = "/remote/index.php";
        caller.UseSSL = c.ssl;
        caller.Port = c.port;
        EXPECT_EQ(caller.Address(), c.expected);
    }
    TCaller bare;
    bare.Host = "example.com";
    EXPECT_EQ(bare.Address(), "http://example.com");
}

TEST_F(XmlRpcCall, LogMasksUserAndPasswordAlsoInTheirEscapedForm) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--password", "p&ss<word", "--fault",
                                           "keltro.getFilename:403:No access for admin"});
    aim(peer);
    caller.LogMaskUser = "admin";
    caller.LogMaskPassword = "p&ss<word";
    TFunction function;
    function.SetMethodName("keltro.getFilename");
    function.AddString("admin");
    function.AddString("p&ss<word");
    function.AddInteger(1);
    const TResult result = caller.Call(function);
    EXPECT_EQ(test::Describe(result), "error 403:No access for admin");

    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "POST: <?xml version=\"1.0\"?><methodCall>   <methodName>keltro.getFilename"
                      "</methodName>   <params>   <param><value><string>****</string></value>"
                      "   </param>   <param><value><string>****</string></value>   </param>"
                      "   <param><value><int>1</int></value>   </param>   </params></methodCall>");
    EXPECT_EQ(log[1].rfind("GOT:  <?xml", 0), 0u);
    EXPECT_NE(log[1].find("No access for ****"), std::string::npos);
    for (const auto& line : log) {
        EXPECT_EQ(line.find("admin"), std::string::npos) << line;
        EXPECT_EQ(line.find("p&amp;ss"), std::string::npos) << line;
    }

    // A blank user name is not a mask: it would blank out every space of the log.
    log.clear();
    caller.LogMaskUser = " ";
    getAPI();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log[0].find("   <methodName>"), std::string::npos);
}

TEST_F(XmlRpcCall, FailedExchangesEndInEmptyReplyError) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string failure; // a fragment of the log line that tells why
    };
    const std::vector<Case> cases = {
        {"http error status", {"--status", "500"}, "returned error: 500"},
        {"dropped connection", {"--drop", "keltro.getAPI"}, "HTTP request failed: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        XmlRpcPeer peer(sandbox.Path(c.name), c.options);
        aim(peer);
        log.clear();
        EXPECT_EQ(test::Describe(getAPI()),
                  "error 600:The xml-rpc server returned a empty response");
        ASSERT_EQ(log.size(), 4u);
        EXPECT_EQ(log[0].rfind("POST: ", 0), 0u);
        EXPECT_EQ(log[1].rfind("Oops! ", 0), 0u);
        EXPECT_NE(log[1].find(c.failure), std::string::npos) << log[1];
        EXPECT_EQ(log[2], "GOT:  ");
        EXPECT_EQ(log[3], "Oops! Got zero-length XML-RPC response from the server.");
    }

    // Nobody listening.
    caller.Host = "127.0.0.1";
    caller.Port = test::FreeLoopbackPort();
    log.clear();
    EXPECT_EQ(getAPI().ErrorCode(), kXmlRpcEmptyReply);
    EXPECT_TRUE(logged("Oops! HTTP request failed: "));
}

TEST_F(XmlRpcCall, ReplyThatIsNotXmlIsLoggedTwice) {
    sandbox.WriteFile("html.txt", "<HTML><BODY>Site offline</BODY></HTML>");
    XmlRpcPeer peer(sandbox.Path("peer"),
                    {"--reply", "keltro.getAPI=" + sandbox.Path("html.txt").string()});
    aim(peer);
    EXPECT_EQ(test::Describe(getAPI()), "error 601:Invalid payload received from xml-rpc server");
    const std::vector<std::string> tail(log.end() - 3, log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"GOT:  <HTML><BODY>Site offline</BODY></HTML>",
                                              "Oops! Got invalid XML-RPC reponse from the server.",
                                              "GOT:  <HTML><BODY>Site offline</BODY></HTML>"}));
}

TEST_F(XmlRpcCall, RedirectsAreFollowedAsPost) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--redirect-from", "/old/index.php"});
    aim(peer, "/old/index.php");
    EXPECT_EQ(getAPI().GetString(), "2.1");
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].Method, "POST");
    EXPECT_EQ(requests[1].Path, "/remote/index.php");
    EXPECT_EQ(requests[1].Body, requests[0].Body);
}

TEST_F(XmlRpcCall, OversizedReplyIsCutOff) {
    std::string big =
        test::Response("<value><string>" + std::string(2 << 20, 'x') + "</string></value>");
    sandbox.WriteFile("big.xml", big);
    XmlRpcPeer peer(sandbox.Path("peer"),
                    {"--reply", "keltro.getAPI=" + sandbox.Path("big.xml").string()});
    aim(peer);
    caller.MaxReplyBytes = size_t{1} << 20;
    EXPECT_EQ(getAPI().ErrorCode(), kXmlRpcEmptyReply);
    EXPECT_TRUE(logged("Oops! The server's reply is larger than 1 MiB; transfer aborted."));
}

TEST_F(XmlRpcCall, SilentServerHitsTheInactivityLimit) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--slow", "keltro.getAPI:1:20"});
    aim(peer);
    caller.InactivitySeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(getAPI().ErrorCode(), kXmlRpcEmptyReply);
    // The transfer speed is averaged over the last few seconds, so the request's own bytes
    // keep a silent transfer alive for a moment beyond the limit.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    EXPECT_TRUE(logged("Oops! HTTP request failed: "));
}

// ---- Certificate pin --------------------------------------------------------------------

std::string signatureFromFile(const std::string& pem) {
    FILE* file = std::fopen(pem.c_str(), "r");
    if (!file)
        return {};
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    const std::string text = CertificateSignatureText(certificate);
    X509_free(certificate);
    return text;
}

TEST(CertificateSignature, MatchesWhatOpenSslPrints) {
    const auto& certificate = test::SelfSignedCertificate();
    const std::string expected = test::OpenSslSignatureText(certificate.LeafFile);
    ASSERT_EQ(expected.size(), 256u * 3 - 1); // RSA 2048: 256 bytes
    EXPECT_EQ(signatureFromFile(certificate.LeafFile), expected);
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST_F(XmlRpcCall, PinDecidesAloneOverTheLeafCertificate) {
    const auto& self = test::SelfSignedCertificate();
    const auto& chain = test::ChainCertificate();
    const std::string selfPin = test::OpenSslSignatureText(self.LeafFile);
    const std::string leafPin = test::OpenSslSignatureText(chain.LeafFile);
    const std::string caPin = test::OpenSslSignatureText(chain.CaFile);
    std::string flipped = selfPin;
    flipped[0] = flipped[0] == '0' ? '1' : '0';

    const char* mismatch = "Oops! The server's SSL certificate was rejected: its signature does "
                           "not match the certificate signature stored for this site.";
    const char* unset = "Oops! The server's SSL certificate was rejected: no certificate "
                        "signature is stored for this site.";
    struct Case {
        const char* name;
        const test::TestCertificate* server;
        std::string pin;
        const char* rejection; // null: accepted
    };
    const std::vector<Case> cases = {
        {"matching self-signed", &self, selfPin, nullptr},
        {"one digit differs", &self, flipped, mismatch},
        {"upper case", &self, upper(selfPin), mismatch},
        {"empty pin", &self, "", unset},
        {"leaf of a chain", &chain, leafPin, nullptr},
        {"CA of the chain", &chain, caPin, mismatch},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        XmlRpcPeer peer(sandbox.Path(c.name),
                        {"--cert", c.server->CertFile, "--key", c.server->KeyFile});
        aim(peer);
        caller.UseSSL = true;
        caller.CertificateSignature = c.pin;
        log.clear();
        const TResult result = getAPI();
        if (!c.rejection) {
            EXPECT_EQ(test::Describe(result), "string:\"2.1\"");
        } else {
            EXPECT_EQ(result.ErrorCode(), kXmlRpcEmptyReply);
            ASSERT_GE(log.size(), 2u);
            EXPECT_EQ(log[1], c.rejection);
            EXPECT_TRUE(peer.Requests().empty()) << "nothing may be sent to a rejected server";
        }
    }
}

// ---- HTTP proxy -------------------------------------------------------------------------

TEST_F(XmlRpcCall, ProxyWithBasicAuthentication) {
    test::HttpProxy proxy(sandbox.Path("proxy"), "proxyuser", "proxy-pass");
    XmlRpcPeer peer(sandbox.Path("peer"));
    aim(peer);
    caller.ProxyServer = "127.0.0.1";
    caller.ProxyPort = proxy.Port();
    caller.ProxyUsername = "proxyuser";
    caller.ProxyPassword = "proxy-pass";

    // Credentials are only sent with basic authentication switched on.
    EXPECT_EQ(getAPI().ErrorCode(), kXmlRpcEmptyReply);
    EXPECT_TRUE(logged("returned error: 407"));
    EXPECT_TRUE(peer.Requests().empty());

    caller.BasicAuthentication = true;
    EXPECT_EQ(getAPI().GetString(), "2.1");
    EXPECT_NE(proxy.Log().find("POST http://127.0.0.1:" + std::to_string(peer.Port()) +
                               "/remote/index.php"),
              std::string::npos);
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0].Header("Proxy-Authorization"), "")
        << "the proxy's credentials must not reach the site";
}

TEST_F(XmlRpcCall, HttpsThroughTheProxyTunnel) {
    const auto& certificate = test::SelfSignedCertificate();
    test::HttpProxy proxy(sandbox.Path("proxy"), "proxyuser", "secret");
    XmlRpcPeer peer(sandbox.Path("peer"),
                    {"--cert", certificate.CertFile, "--key", certificate.KeyFile});
    aim(peer);
    caller.UseSSL = true;
    caller.CertificateSignature = test::OpenSslSignatureText(certificate.LeafFile);
    caller.ProxyServer = "127.0.0.1";
    caller.ProxyPort = proxy.Port();
    caller.ProxyUsername = "proxyuser";
    caller.ProxyPassword = "secret";
    caller.BasicAuthentication = true;
    EXPECT_EQ(getAPI().GetString(), "2.1");
    EXPECT_NE(proxy.Log().find("CONNECT 127.0.0.1:" + std::to_string(peer.Port())),
              std::string::npos);
}

} // namespace
} // namespace tlv
