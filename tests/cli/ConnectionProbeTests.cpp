// The connection probe's network checks against the remote API test server.

#include "common/HttpProxy.h"
#include "common/Sandbox.h"
#include "common/TestCertificates.h"
#include "common/XmlRpcPeer.h"
#include "remote/ConnectionProbe.h"

#include <gtest/gtest.h>

namespace tlv::test {
namespace {

class ConnectionProbeTest : public ::testing::Test {
protected:
    ConnectionProbeTest() { sandbox.UseDatabase(); }

    TConnectionProbe Probe(const std::string& address) const {
        TConnectionProbe probe;
        probe.SiteName = "alpha";
        probe.Address = address;
        probe.Username = XmlRpcPeer::User();
        probe.Password = XmlRpcPeer::Password();
        return probe;
    }

    // The XML-RPC methods called, without the plain GETs.
    static std::vector<std::string> Calls(const XmlRpcPeer& server) {
        std::vector<std::string> calls;
        for (const std::string& call : server.Calls())
            if (!call.empty())
                calls.push_back(call);
        return calls;
    }

    static std::vector<std::string> GetPaths(const XmlRpcPeer& server) {
        std::vector<std::string> paths;
        for (const RecordedRequest& request : server.Requests())
            if (request.Method == "GET")
                paths.push_back(request.Path);
        return paths;
    }

    Sandbox sandbox;
};

TEST_F(ConnectionProbeTest, ValidateFindsTheEndpointAndLogsInOnTheTypedPort) {
    // The server listens on a port of its own: checks sent to the scheme's standard port would
    // not reach it.
    XmlRpcPeer server(sandbox.Path("server"), {"--path", "/joomla/xmlrpc/index.php"});
    TConnectionProbe probe =
        Probe("HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/Joomla/");
    std::vector<std::string> operations;
    probe.OnOperation = [&](const std::string& key) { operations.push_back(key); };

    const TProbeResult result = probe.Validate();

    ASSERT_TRUE(result.Passed) << result.MessageKey << " " << result.FailureText;
    EXPECT_EQ(probe.URL, "127.0.0.1/joomla/xmlrpc/index.php");
    EXPECT_EQ(probe.Port, server.Port());
    EXPECT_FALSE(probe.UseSSL);
    EXPECT_EQ(GetPaths(server),
              (std::vector<std::string>{"/joomla", "/joomla", "/joomla/xmlrpc/index.php"}));
    EXPECT_EQ(Calls(server), (std::vector<std::string>{"keltro.getAPI", "keltro.getProfiles"}));
    EXPECT_EQ(operations,
              (std::vector<std::string>{"TXT_NS_OP_CHECKCONNECT", "", "TXT_NS_OP_CHECKXMLRPC", "",
                                        "TXT_NS_OP_CHECKPLUGIN", "TXT_NS_OP_CHECKLOGIN", ""}));
}

TEST_F(ConnectionProbeTest, DiscoveryAcceptsOnlyADocumentThatBeginsWithXml) {
    // The first two candidates answer with XML that does not count: a blank line ahead of the
    // declaration, and an XHTML page. The third is the service.
    sandbox.WriteFile("blank.xml", "\n<?xml version=\"1.0\"?>\n<methodResponse/>\n");
    sandbox.WriteFile("xhtml.xml", "<?xml version=\"1.0\"?>\n<html><body>Hi</body></html>\n");
    XmlRpcPeer server(sandbox.Path("server"),
                      {"--path", "/site/xmlrpc", "--get",
                       "/site=" + sandbox.Path("blank.xml").string(), "--get",
                       "/site/xmlrpc/index.php=" + sandbox.Path("xhtml.xml").string()});
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());

    TConnectionProbe probe = Probe(base + "/site");
    ASSERT_TRUE(probe.ParseAddress().Passed);
    ASSERT_TRUE(probe.CheckXMLRPC().Passed);
    EXPECT_EQ(probe.URL, "127.0.0.1/site/xmlrpc");

    // An address that is the service already gets no suffix.
    TConnectionProbe direct = Probe(base + "/site/xmlrpc");
    ASSERT_TRUE(direct.ParseAddress().Passed);
    ASSERT_TRUE(direct.CheckXMLRPC().Passed);
    EXPECT_EQ(direct.URL, "127.0.0.1/site/xmlrpc");

    // No candidate answers with XML.
    TConnectionProbe nowhere = Probe(base + "/elsewhere");
    ASSERT_TRUE(nowhere.ParseAddress().Passed);
    const TProbeResult result = nowhere.CheckXMLRPC();
    EXPECT_FALSE(result.Passed);
    EXPECT_EQ(result.MessageKey, "ERR_NS_OP_CHECKXMLRPC");
    EXPECT_EQ(nowhere.URL, "127.0.0.1/elsewhere");
}

TEST_F(ConnectionProbeTest, EachFailureEndsTheSequenceWithItsOwnMessage) {
    struct Case {
        const char* what;
        std::vector<std::string> serverOptions;
        std::string name;
        std::string password;
        bool serverDown;
        const char* key;
    } cases[] = {
        {"blank name", {}, "  ", XmlRpcPeer::Password(), false, "ERR_NS_NONAMEGIVEN"},
        {"nothing listens", {}, "alpha", XmlRpcPeer::Password(), true, "ERR_NS_OP_CHECKCONNECT"},
        {"no plug-in",
         {"--fault", "keltro.getAPI:-32601:Unknown method"},
         "alpha",
         XmlRpcPeer::Password(),
         false,
         "ERR_NS_OP_CHECKPLUGIN"},
        {"wrong password", {}, "alpha", "wrong", false, "ERR_NS_OP_CHECKLOGIN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto options = c.serverOptions;
        options.insert(options.end(), {"--path", "/xmlrpc/index.php"});
        XmlRpcPeer server(sandbox.Path(std::string("server-") + c.what), options);
        const int port = c.serverDown ? FreeLoopbackPort() : server.Port();
        TConnectionProbe probe = Probe("http://127.0.0.1:" + std::to_string(port));
        probe.SiteName = c.name;
        probe.Password = c.password;
        const TProbeResult result = probe.Validate();
        EXPECT_FALSE(result.Passed);
        EXPECT_EQ(result.MessageKey, c.key);
        if (std::string(c.key) == "ERR_NS_OP_CHECKCONNECT") {
            EXPECT_NE(result.FailureText.find("onnect"), std::string::npos) << result.FailureText;
        } else {
            EXPECT_TRUE(result.FailureText.empty());
        }
        if (std::string(c.key) == "ERR_NS_NONAMEGIVEN") {
            EXPECT_TRUE(server.Requests().empty());
        }
    }
}

TEST_F(ConnectionProbeTest, AnInvalidSchemeRunsNoNetworkCheck) {
    XmlRpcPeer server(sandbox.Path("server"));
    TConnectionProbe probe = Probe("ftp://127.0.0.1:" + std::to_string(server.Port()));
    const TProbeResult result = probe.Validate();
    EXPECT_EQ(result.MessageKey, "ERR_NS_INVALIDPROTOCOL");
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(ConnectionProbeTest, OverHttpsTheCapturedCertificateLetsThePluginAndLoginChecksPass) {
    const TestCertificate certificate = MakeSelfSignedCertificate(sandbox.Path("certs"));
    XmlRpcPeer server(sandbox.Path("server"), {"--path", "/xmlrpc/index.php", "--cert",
                                               certificate.CertFile, "--key", certificate.KeyFile});
    TConnectionProbe probe = Probe("https://127.0.0.1:" + std::to_string(server.Port()));
    const TProbeResult result = probe.Validate();
    ASSERT_TRUE(result.Passed) << result.MessageKey << " " << result.FailureText;
    EXPECT_TRUE(probe.UseSSL);
    EXPECT_EQ(probe.URL, "127.0.0.1/xmlrpc/index.php");
    EXPECT_EQ(probe.CertificateSignature, OpenSslSignatureText(certificate.LeafFile));
    EXPECT_EQ(Calls(server), (std::vector<std::string>{"keltro.getAPI", "keltro.getProfiles"}));
}

TEST_F(ConnectionProbeTest, EveryCheckGoesThroughTheProxyWithItsLogin) {
    XmlRpcPeer server(sandbox.Path("server"), {"--path", "/xmlrpc/index.php"});
    HttpProxy proxy(sandbox.Path("proxy"), "proxyuser", "proxypass");
    TConnectionProbe probe = Probe("http://127.0.0.1:" + std::to_string(server.Port()));
    probe.ProxyServer = "127.0.0.1";
    probe.ProxyPort = proxy.Port();
    probe.ProxyUsername = "proxyuser";
    probe.ProxyPassword = "proxypass";

    probe.BasicAuthentication = false; // the proxy turns the checks down without the login
    EXPECT_EQ(probe.Validate().MessageKey, "ERR_NS_OP_CHECKCONNECT");
    EXPECT_TRUE(server.Requests().empty());

    probe.BasicAuthentication = true;
    const TProbeResult result = probe.Validate();
    ASSERT_TRUE(result.Passed) << result.MessageKey << " " << result.FailureText;
    EXPECT_EQ(Calls(server), (std::vector<std::string>{"keltro.getAPI", "keltro.getProfiles"}));
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
    EXPECT_NE(proxy.Log().find("GET " + base + "/xmlrpc/index.php"), std::string::npos)
        << proxy.Log();
}

} // namespace
} // namespace tlv::test
