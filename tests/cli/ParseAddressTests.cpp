// How the connection probe reads a typed address, and where its address checks send requests.

#include "common/Sandbox.h"
#include "remote/ConnectionProbe.h"

#include <gtest/gtest.h>

namespace tlv::test {
namespace {

struct AddressCase {
    const char* typed;
    bool valid;
    bool useSSL;
    const char* url;
    int port;
    const char* baseAddress; // where CheckConnect and CheckXMLRPC go
};

TEST(ParseAddress, ReadsSchemeHostPortAndPath) {
    const AddressCase cases[] = {
        // Lower case throughout, the one trailing "/" dropped, the scheme's port.
        {"  HTTP://WWW.Example.COM/Joomla/  ", true, false, "www.example.com/joomla", 80,
         "http://www.example.com/joomla"},
        {"https://www.example.com", true, true, "www.example.com", 443, "https://www.example.com"},
        // A typed port: every request of the probe goes there, not to the scheme's port.
        {"http://www.example.com:8080/site", true, false, "www.example.com/site", 8080,
         "http://www.example.com:8080/site"},
        {"https://127.0.0.1:8443/", true, true, "127.0.0.1", 8443, "https://127.0.0.1:8443"},
        // A port text that is no number reads as 80, whatever the scheme.
        {"https://www.example.com:abc/x", true, true, "www.example.com/x", 80,
         "https://www.example.com:80/x"},
        // Two trailing slashes: one goes, the empty path adds nothing.
        {"http://www.example.com//", true, false, "www.example.com", 80, "http://www.example.com"},
        {"http://[::1]:8080/remote", true, false, "[::1]/remote", 8080, "http://[::1]:8080/remote"},
        {"http://[::1]/remote", true, false, "[::1]/remote", 80, "http://[::1]/remote"},
        {"ftp://www.example.com", false, false, "", 0, ""},
        {"www.example.com", false, false, "", 0, ""},
        {"", false, false, "", 0, ""},
    };
    for (const AddressCase& c : cases) {
        SCOPED_TRACE(c.typed);
        TConnectionProbe probe;
        probe.Address = c.typed;
        const TProbeResult result = probe.ParseAddress();
        EXPECT_EQ(result.Passed, c.valid);
        EXPECT_EQ(probe.InvalidProtocol, !c.valid);
        if (!c.valid) {
            EXPECT_EQ(result.MessageKey, "ERR_NS_INVALIDPROTOCOL");
            continue;
        }
        EXPECT_EQ(probe.UseSSL, c.useSSL);
        EXPECT_EQ(probe.URL, c.url);
        EXPECT_EQ(probe.Port, c.port);
        EXPECT_EQ(probe.BaseAddress(), c.baseAddress);
    }
}

TEST(ParseAddress, AnInvalidAddressKeepsTheEarlierValuesAndARunRebuildsTheURL) {
    TConnectionProbe probe;
    probe.Address = "https://www.example.com:8443/a";
    ASSERT_TRUE(probe.ParseAddress().Passed);
    probe.URL += "/xmlrpc"; // as an accepted endpoint suffix
    ASSERT_TRUE(probe.ParseAddress().Passed);
    EXPECT_EQ(probe.URL, "www.example.com/a");

    probe.Address = "gopher://elsewhere";
    EXPECT_FALSE(probe.ParseAddress().Passed);
    EXPECT_TRUE(probe.UseSSL);
    EXPECT_EQ(probe.URL, "www.example.com/a");
    EXPECT_EQ(probe.Port, 8443);

    probe.Address = "http://www.example.com";
    EXPECT_TRUE(probe.ParseAddress().Passed);
    EXPECT_FALSE(probe.InvalidProtocol);
}

TEST(ProbeResult, MessageIsTheTranslationThenTheFailureAfterACarriageReturn) {
    Sandbox sandbox;
    sandbox.UseDatabase(); // no language files: a key shows as itself
    EXPECT_EQ(TProbeResult::Fail("ERR_NS_OP_CHECKCONNECT", "Connection refused").Message(),
              "ERR_NS_OP_CHECKCONNECT\rConnection refused");
    EXPECT_EQ(TProbeResult::Fail("ERR_NS_OP_CHECKLOGIN").Message(), "ERR_NS_OP_CHECKLOGIN");
}

} // namespace
} // namespace tlv::test
