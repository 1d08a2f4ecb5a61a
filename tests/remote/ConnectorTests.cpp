#include "RemoteTestSupport.h"
#include "common/Sandbox.h"
#include "remote/XMLRPCConnector.h"
#include "storage/Translate.h"

#include <gtest/gtest.h>

namespace tlv {
namespace {

using test::XmlRpcPeer;

std::string value(const std::string& inner) {
    return "<value>" + inner + "</value>";
}
std::string member(const std::string& name, const std::string& inner) {
    return "<member><name>" + name + "</name>" + inner + "</member>";
}
std::string str(const std::string& text) {
    return value("<string>" + text + "</string>");
}
std::string integer(int number) {
    return value("<int>" + std::to_string(number) + "</int>");
}
std::string structOf(const std::string& members) {
    return value("<struct>" + members + "</struct>");
}
std::string arrayOf(const std::string& items) {
    return value("<array><data>" + items + "</data></array>");
}

std::string backupRecord(const std::string& backupstart, bool withMeta = true) {
    return structOf(member("id", integer(12)) + member("description", str("Nightly")) +
                    member("backupstart", str(backupstart)) + member("status", str("complete")) +
                    member("origin", str("backend")) + member("type", str("full")) +
                    (withMeta ? member("meta", str("ok")) : "") + member("profile", integer(1)) +
                    member("archivename", str("site-12.kta")));
}

class Connector : public testing::Test {
protected:
    void SetUp() override {
        sandbox.UseDatabase();
        sandbox.InstallLanguages();
        JTranslate::Instance();
        connector.OnLog = [this](const std::string& line) { log.push_back(line); };
    }

    // A server answering `method` with `reply` (a whole document); other methods as usual.
    std::unique_ptr<XmlRpcPeer> serve(const std::string& method, const std::string& reply) {
        const std::string file = "reply-" + std::to_string(++m_replies) + ".xml";
        sandbox.WriteFile(file, reply);
        return std::make_unique<XmlRpcPeer>(
            sandbox.Path("peer" + std::to_string(m_replies)),
            std::vector<std::string>{"--reply", method + "=" + sandbox.Path(file).string()});
    }

    void load(const XmlRpcPeer& peer) { connector.LoadSiteDefinition(test::SiteFor(peer)); }

    test::Sandbox sandbox;
    TConnectorXMLRPC connector;
    std::vector<std::string> log;

private:
    int m_replies = 0;
};

TEST_F(Connector, LoadSiteDefinitionLogsWhatItUses) {
    TKeltroSiteDefinition site;
    site.URL = "www.example.com/remote/index.php";
    site.Port = 443;
    site.Profile = 3;
    site.Username = "admin";
    site.Password = "pw";
    connector.LoadSiteDefinition(site);
    EXPECT_EQ(log, (std::vector<std::string>{"Initializing XML-RPC Connector from site definition",
                                             "Host / Port :www.example.com/remote/index.php / 443",
                                             "Using profile #3"}));
    EXPECT_EQ(connector.Caller.LogMaskUser, "admin");
    EXPECT_EQ(connector.Caller.LogMaskPassword, "pw");

    log.clear();
    site.ProxyServer = "proxy.example.com";
    site.UseSSL = true;
    connector.LoadSiteDefinition(site);
    EXPECT_EQ(log, (std::vector<std::string>{
                       "Initializing XML-RPC Connector from site definition",
                       "Host / Port :www.example.com/remote/index.php / 443", "Using profile #3",
                       "Using HTTP proxy", "Using HTTP over SSL (HTTPS) secure protocol",
                       "WARNING! SSL certificate signature is not set; backup might fail"}));
}

TEST_F(Connector, OperationsSendTheirParametersAndStoreTheResults) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--parts", "3", "--backups", "2"});
    load(peer);
    connector.GetAPI();
    EXPECT_EQ(connector.APIVersion, "2.1");
    connector.GetFilename();
    EXPECT_EQ(connector.Filename, "site-www.example.com-20240301-101500.kta");
    connector.GetParts(-1);
    EXPECT_EQ(connector.Parts,
              (TKeltroBackupFilenames{"site-www.example.com-20240301-101500.k01",
                                      "site-www.example.com-20240301-101500.k02",
                                      "site-www.example.com-20240301-101500.kta"}));
    connector.GetParts(0);
    EXPECT_EQ(connector.Parts.back(), "site-www.example.com-backup-0.kta");
    connector.GetProfiles();
    EXPECT_EQ(connector.Profiles,
              (TKeltroProfileArray{{1, "Default Backup Profile"}, {2, "Database only"}}));
    connector.GetBackups();
    ASSERT_EQ(connector.Backups.size(), 2u);
    const TKeltroBackupEntry& first = connector.Backups[0];
    EXPECT_EQ(first.id, 2);
    EXPECT_EQ(first.description, "Backup taken on 1 March 2024");
    EXPECT_EQ(first.backupstart, TDateTime::Encode(2024, 3, 1, 10, 0, 0));
    EXPECT_EQ(connector.Backups[1].backupstart, TDateTime::Encode(2024, 3, 2, 10, 1, 7));
    EXPECT_EQ(first.status, "complete");
    EXPECT_EQ(first.origin, "remote");
    EXPECT_EQ(first.type, "full");
    EXPECT_EQ(first.meta, "ok");
    EXPECT_EQ(first.profile, 1);
    EXPECT_EQ(first.archivename, "site-www.example.com-backup-2.kta");

    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 6u);
    // getAPI carries no credentials; getParts gets a fourth parameter only for an id >= 0.
    EXPECT_EQ(requests[0].Body.find("<param>"), std::string::npos);
    auto params = [](const test::RecordedRequest& r) {
        size_t count = 0;
        for (size_t at = r.Body.find("<param>"); at != std::string::npos;
             at = r.Body.find("<param>", at + 1))
            ++count;
        return count;
    };
    EXPECT_EQ(params(requests[1]), 3u);
    EXPECT_EQ(params(requests[2]), 3u);
    EXPECT_EQ(params(requests[3]), 4u);
    EXPECT_NE(requests[3].Body.find("<param><value><int>0</int></value>   </param>   </params>"),
              std::string::npos);
    EXPECT_EQ(params(requests[4]), 2u);
    EXPECT_EQ(params(requests[5]), 2u);
}

TEST_F(Connector, StepRepliesFillTheResponse) {
    XmlRpcPeer peer(sandbox.Path("peer"), {"--steps", "2"});
    load(peer);
    connector.StartBackup();
    EXPECT_FALSE(connector.Caller.FixEmptyValues());
    EXPECT_EQ(connector.Response,
              (TKeltroKOVAResponse{false, "init", "Initialising the backup engine", "", "", ""}));
    connector.ContinueBackup();
    EXPECT_TRUE(connector.Caller.FixEmptyValues());
    EXPECT_EQ(connector.Response,
              (TKeltroKOVAResponse{false, "installer", "Backing up installer files",
                                   "Adding installation/index.php", "", ""}));
    connector.ContinueBackup();
    // The empty Substep now arrives as an empty string and replaces the previous text.
    EXPECT_EQ(connector.Response,
              (TKeltroKOVAResponse{true, "finale", "Backup finished", "", "", ""}));
}

TEST_F(Connector, StepReplyKeepsFieldsItDoesNotMention) {
    auto peer = serve(
        "keltro.startBackup",
        test::Response(structOf(member("domain", str("PackDB")) + member("Error", str("   ")))));
    load(*peer);
    connector.Response.IsFinished = true;
    connector.Response.Step = "earlier";
    connector.StartBackup(); // an Error of blanks is no failure
    EXPECT_TRUE(connector.Response.IsFinished);
    EXPECT_EQ(connector.Response.Domain, "PackDB");
    EXPECT_EQ(connector.Response.Step, "earlier");
}

TEST_F(Connector, NonArrayListsAreEmptyButPartsMustBeAnArray) {
    auto backups = serve("keltro.getBackups", test::Response(str("nothing here")));
    load(*backups);
    connector.Backups.resize(3);
    connector.GetBackups();
    EXPECT_TRUE(connector.Backups.empty());

    auto profiles = serve("keltro.getProfiles", test::Response(structOf(member("a", integer(1)))));
    load(*profiles);
    connector.Profiles.resize(2);
    connector.GetProfiles();
    EXPECT_TRUE(connector.Profiles.empty());
}

TEST_F(Connector, EveryFailureIsALayerExceptionWithTheUnderlyingMessage) {
    struct Case {
        const char* name;
        std::string method;
        std::string reply;
        std::function<void(TConnectorXMLRPC&)> operation;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"fault", "keltro.getFilename",
         "<?xml version=\"1.0\"?><methodResponse><fault>" +
             structOf(member("faultCode", integer(42)) +
                      member("faultString", str("Profile &lt;3&gt; not found"))) +
             "</fault></methodResponse>",
         [](auto& c) { c.GetFilename(); }, "Profile <3> not found"},
        {"empty reply", "keltro.getAPI", " ", [](auto& c) { c.GetAPI(); },
         "The xml-rpc server returned a empty response"},
        {"not xml", "keltro.getAPI", "Forbidden", [](auto& c) { c.GetAPI(); },
         "Invalid payload received from xml-rpc server"},
        {"version not a string", "keltro.getAPI", test::Response(integer(2)),
         [](auto& c) { c.GetAPI(); }, "TResult.GetString - Item is not a string type"},
        {"parts not an array", "keltro.getParts", test::Response(str("a.kta")),
         [](auto& c) { c.GetParts(-1); }, "TResult.GetArray - Item is not a array type"},
        {"parts item not a string", "keltro.getParts",
         test::Response(arrayOf(str("a.k01") + integer(2))), [](auto& c) { c.GetParts(-1); },
         "TArray.GetString(1) - Item is not a string type"},
        {"start reply a string", "keltro.startBackup", test::Response(str("OK")),
         [](auto& c) { c.StartBackup(); }, "TResult.GetErrorString - Item is not a error string"},
        {"step error", "keltro.continueBackup",
         test::Response(structOf(member("IsFinished", value("<boolean>0</boolean>")) +
                                 member("Error", str("Cannot write archive part")))),
         [](auto& c) { c.ContinueBackup(); }, "Cannot write archive part"},
        {"profile id a string", "keltro.getProfiles",
         test::Response(arrayOf(structOf(member("id", str("1")) + member("d", str("x"))))),
         [](auto& c) { c.GetProfiles(); }, "TStruct.GetInteger(0) - Item is not a integer"},
        {"profile with one member", "keltro.getProfiles",
         test::Response(arrayOf(structOf(member("id", integer(1))))),
         [](auto& c) { c.GetProfiles(); }, "TStruct.GetString(1) - index out of bounds"},
        {"profile not a struct", "keltro.getProfiles", test::Response(arrayOf(integer(1))),
         [](auto& c) { c.GetProfiles(); }, "item is not a struct"},
        {"backupstart without blank", "keltro.getBackups",
         test::Response(
             arrayOf(backupRecord("2024-03-01 10:00:00") + backupRecord("2024-03-01T10:00:00"))),
         [](auto& c) { c.GetBackups(); }, "'2024-03-01T10:00:00' is not a valid date and time"},
        {"backupstart out of range", "keltro.getBackups",
         test::Response(arrayOf(backupRecord("2024-02-30 10:00:00"))),
         [](auto& c) { c.GetBackups(); }, "'2024-02-30 10:00:00' is not a valid date and time"},
        {"backup record lacks meta", "keltro.getBackups",
         test::Response(arrayOf(backupRecord("2024-03-01 10:00:00", false))),
         [](auto& c) { c.GetBackups(); }, "TStruct.GetString(meta) - key not found"},
        {"integer not a number", "keltro.getBackups",
         test::Response(arrayOf(structOf(member("id", value("<int>x1</int>"))))),
         [](auto& c) { c.GetBackups(); }, "'x1' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto peer = serve(c.method, c.reply);
        load(*peer);
        connector.Backups = {TKeltroBackupEntry{}};
        try {
            c.operation(connector);
            ADD_FAILURE() << "no failure";
        } catch (const EKTLayerException& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
        EXPECT_EQ(connector.Backups.size(), 1u) << "a failed call replaces nothing";
    }
}

TEST_F(Connector, WrongCredentialsAreTheServersFault) {
    XmlRpcPeer peer(sandbox.Path("peer"));
    TKeltroSiteDefinition site = test::SiteFor(peer);
    site.Password = "wrong";
    connector.LoadSiteDefinition(site);
    EXPECT_THROW(
        {
            try {
                connector.GetFilename();
            } catch (const EKTLayerException& error) {
                EXPECT_STREQ(error.what(), "Authentication failed: wrong user name or password");
                throw;
            }
        },
        EKTLayerException);
}

TEST_F(Connector, SetLayerErrorPrefixesTheTranslatedText) {
    connector.SetLayerError("Cannot connect");
    EXPECT_EQ(connector.Response.Error, Translate("ERR_XMLRPCLAYER") + "Cannot connect");
    EXPECT_NE(Translate("ERR_XMLRPCLAYER"), "ERR_XMLRPCLAYER");
}

} // namespace
} // namespace tlv
