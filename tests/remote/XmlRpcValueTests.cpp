#include "RemoteTestSupport.h"
#include "core/Exceptions.h"
#include "remote/XmlRpcCall.h"
#include "remote/XmlRpcValue.h"

#include <functional>
#include <gtest/gtest.h>

namespace tlv {
namespace {

TEST(XmlRpcFunction, RequestDocumentIsOneExactLine) {
    TFunction function;
    function.SetMethodName("keltro.getAPI");
    EXPECT_EQ(function.Document(), "<?xml version=\"1.0\"?><methodCall>   <methodName>keltro.getAPI"
                                   "</methodName>   <params>   </params></methodCall>");

    function.SetMethodName("keltro.getParts");
    function.AddString("a&b<c>d\"e'f");
    function.AddInteger(-5);
    function.AddInteger(0);
    EXPECT_EQ(function.Document(),
              "<?xml version=\"1.0\"?><methodCall>   <methodName>keltro.getParts</methodName>"
              "   <params>"
              "   <param><value><string>a&amp;b&lt;c&gt;d&quot;e&apos;f</string></value>   </param>"
              "   <param><value><int>-5</int></value>   </param>"
              "   <param><value><int>0</int></value>   </param>"
              "   </params></methodCall>");
    // The list holds the escaped text; the document is sent as it is, UTF-8 untouched.
    EXPECT_EQ(function.Params()[0].Text, "a&amp;b&lt;c&gt;d&quot;e&apos;f");
    function.Clear();
    EXPECT_TRUE(function.MethodName().empty());
    EXPECT_TRUE(function.Params().empty());
    function.AddString("Größe");
    EXPECT_EQ(function.Params()[0].Text, "Größe");
}

TEST(XmlRpcFunction, EntityPassesUndoOneLevelEach) {
    EXPECT_EQ(EscapeXml("&lt;"), "&amp;lt;");
    EXPECT_EQ(DecodeEntities("&lt;b&gt; &quot;x&quot; &apos;y&apos; &amp;"), "<b> \"x\" 'y' &");
    // "&amp;" last: an escaped entity comes out as the entity, not as its character.
    EXPECT_EQ(DecodeEntities("&amp;lt;"), "&lt;");
    EXPECT_EQ(DecodeEntities("&amp;amp;"), "&amp;");
    EXPECT_EQ(DecodeEntities("no entities"), "no entities");
}

// The accessors' messages reach the user through the connector, so they are exact.
TEST(XmlRpcValueModel, AccessorsNameWhatIsWrong) {
    TCaller parser;
    const TResult result = parser.ProcessReply(
        test::Response("<value><struct>"
                       "<member><name>text</name><value><string>a</string></value></member>"
                       "<member><name>number</name><value><int>3</int></value></member>"
                       "<member><name>flag</name><value><boolean>1</boolean></value></member>"
                       "<member><name>list</name><value><array><data>"
                       "<value><string>x</string></value><value><int>1</int></value>"
                       "</data></array></value></member>"
                       "</struct></value>"));
    ASSERT_TRUE(result.IsStruct());
    const TStruct& s = result.GetStruct();
    const TArray& list = s.Item(3).Value.Array();

    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { s.GetString("missing"); }, "TStruct.GetString(missing) - key not found"},
        {[&] { s.GetString("number"); }, "TStruct.GetString(number) - Item is not a string"},
        {[&] { s.GetInteger("missing"); }, "TStruct.GetInteger(missing) - key not found"},
        {[&] { s.GetInteger("text"); }, "TStruct.GetInteger(text) - Item is not a integer"},
        {[&] { s.GetBoolean("missing"); }, "TStruct.GetBoolean(missing) - key not found"},
        {[&] { s.GetBoolean("text"); }, "TStruct.GetBoolean(text) - Item is not a boolean"},
        {[&] { s.GetInteger(0); }, "TStruct.GetInteger(0) - Item is not a integer"},
        {[&] { s.GetString(1); }, "TStruct.GetString(1) - Item is not a string"},
        {[&] { s.GetString(9); }, "TStruct.GetString(9) - index out of bounds"},
        {[&] { list.GetString(1); }, "TArray.GetString(1) - Item is not a string type"},
        {[&] { list.GetStruct(0); }, "item is not a struct"},
        {[&] { list.GetString(2); }, "TArray.Item(2) - index out of bounds"},
        {[&] { result.GetArray(); }, "TResult.GetArray - Item is not a array type"},
        {[&] { result.GetErrorString(); }, "TResult.GetErrorString - Item is not a error string"},
        {[&] { result.GetString(); }, "TResult.GetString - Item is not a string type"},
        {[&] { TResult().GetStruct(); }, "TResult.GetStruct - Item is not a struct type"},
    };
    for (const auto& [access, message] : cases) {
        try {
            access();
            ADD_FAILURE() << "no error for: " << message;
        } catch (const Exception& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }

    EXPECT_EQ(s.GetString("TEXT"), "a"); // names ignore letter case
    EXPECT_EQ(s.GetInteger(1), 3);
    EXPECT_TRUE(s.GetBoolean("Flag"));
    EXPECT_EQ(list.GetString(0), "x");
}

} // namespace
} // namespace tlv
