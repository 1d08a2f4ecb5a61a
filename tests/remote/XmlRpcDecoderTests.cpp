#include "RemoteTestSupport.h"
#include "core/Exceptions.h"
#include "remote/XmlRpcCall.h"

#include <gtest/gtest.h>

namespace tlv {
namespace {

using test::Describe;
using test::Response;

std::string value(const std::string& inner) {
    return "<value>" + inner + "</value>";
}
std::string member(const std::string& name, const std::string& inner) {
    return "<member><name>" + name + "</name>" + inner + "</member>";
}
std::string fault(const std::string& members) {
    return "<?xml version=\"1.0\"?><methodResponse><fault><value><struct>" + members +
           "</struct></value></fault></methodResponse>";
}

struct DecodeCase {
    const char* name;
    std::string reply;
    std::string expected; // Describe() of the result, or "raises:" and the message
    bool fixEmptyValues = false;
};

std::ostream& operator<<(std::ostream& out, const DecodeCase& c) {
    return out << c.name;
}

const std::string kStep = value("<struct>" + member("a", value("<string>x</string>")) +
                                member("b", value("<string></string>")) + "</struct>");

const DecodeCase kCases[] = {
    {"TopLevelString", Response(value("<string>2.1</string>")), "string:\"2.1\""},
    {"UntypedValueIsString", Response("<value>plain text</value>"), "string:\"plain text\""},
    {"Integers",
     Response(value("<array><data>" + value("<int>-12</int>") + value("<i4>+7</i4>") +
                    "</data></array>")),
     "array[int:-12,int:7]"},
    {"Double", Response(value("<double>-1.5e2</double>")), "double:-150"},
    {"OnlyZeroIsFalse",
     Response(value("<array><data>" + value("<boolean>0</boolean>") +
                    value("<boolean>false</boolean>") + value("<boolean>1</boolean>") +
                    "</data></array>")),
     "array[bool:false,bool:true,bool:true]"},
    {"Date", Response(value("<dateTime.iso8601>20240301T10:15:07</dateTime.iso8601>")),
     "date:2024-03-01 10:15:07"},
    {"Base64StaysEncoded", Response(value("<base64>aGVsbG8=</base64>")), "base64:\"aGVsbG8=\""},
    {"ElementNamesIgnoreCaseAndBlanks", Response("<VALUE><String>x</String></VALUE>"),
     "string:\"x\""},
    {"NestedStructsAndArrays",
     Response(value("<struct>" +
                    member("list", value("<array><data>" + value("<int>1</int>") +
                                         value("<struct>" + member("deep", value("<i4>2</i4>")) +
                                               "</struct>") +
                                         "</data></array>")) +
                    member("after", value("<string>y</string>")) + "</struct>")),
     "struct{list=array[int:1,struct{deep=int:2}],after=string:\"y\"}"},
    {"EqualMemberNamesAreKept",
     Response(value("<struct>" + member("a", value("<int>1</int>")) +
                    member("A", value("<int>2</int>")) + "</struct>")),
     "struct{a=int:1,A=int:2}"},
    {"EntitiesResolvedOnceAcrossPieces",
     Response(value("<string>a &amp; b &lt;c&gt; &#233;&#x20AC; &quot;q&quot;</string>")),
     "string:\"a & b <c> é€ \"q\"\""},
    {"Utf8StaysUtf8", Response(value("<string>Größe – 日本 €</string>")),
     "string:\"Größe – 日本 €\""},
    {"Latin1DeclaredBecomesUtf8",
     "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><methodResponse><params><param>"
     "<value><string>caf\xE9</string></value></param></params></methodResponse>",
     "string:\"café\""},
    {"Windows1252DeclaredBecomesUtf8",
     "<?xml version=\"1.0\" encoding=\"windows-1252\"?><methodResponse><params><param>"
     "<value><string>\x80 5</string></value></param></params></methodResponse>",
     "string:\"€ 5\""},
    {"Fault",
     fault(member("faultCode", value("<int>403</int>")) +
           member("faultString", value("<string>a &amp;lt; b</string>"))),
     "error 403:a < b"},
    {"TextBeforeDeclarationIsDropped",
     "Warning: session_start(): headers already sent\n" + Response(value("<int>5</int>")), "int:5"},
    {"LowercaseXmlAnywherePasses", "<html><body>no xml-rpc here</body></html>", "none"},
    {"UppercaseXmlOnlyFails", "<HTML>NO XML</HTML>",
     "error 601:Invalid payload received from xml-rpc server"},
    {"EmptyReply", "", "error 600:The xml-rpc server returned a empty response"},
    {"BlankReply", " \r\n\t ", "error 600:The xml-rpc server returned a empty response"},
    {"EmptyStringDroppedWithoutFixUps", Response(kStep), "struct{a=string:\"x\"}"},
    {"EmptyStringKeptWithFixUps", Response(kStep), "struct{a=string:\"x\",b=string:\"\"}", true},
    {"NullMarkerIsEmpty", Response(value("<string>[NULL]</string>")), "string:\"\""},
    {"CdataIsNotTaken", Response(value("<string><![CDATA[hidden]]></string>")), "none"},
    {"CommentEndsTheRun", Response(value("<string>ab<!-- c -->cd</string>")), "string:\"ab\""},
    {"EmptyElementTagsAreIgnored",
     Response(value("<struct>" + member("a", "<value><struct/></value>") +
                    member("b", value("<int>1</int>")) + "</struct>")),
     "struct{b=int:1}"},
    {"JunkAfterACompleteValue", Response(value("<int>7</int>")) + "<br>Notice</b>", "int:7"},
    {"TruncatedReply",
     "<?xml version=\"1.0\"?><methodResponse><params><param><value><array><data>"
     "<value><int>1</int></value>",
     "error 602:Malformed XML-RPC response from the server: no element found (line 1, column "
     "99)"},
    {"NotWellFormed", "<?xml version=\"1.0\"?><methodResponse><params></param>",
     "error 602:Malformed XML-RPC response from the server: mismatched tag (line 1, column 47)"},
    {"EntityDeclarationsRefused",
     "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY a \"aaaa\">]><methodResponse><params><param>"
     "<value><string>&a;</string></value></param></params></methodResponse>",
     "error 602:Malformed XML-RPC response from the server: entity declarations are not allowed "
     "(line 1, column 45)"},
    {"IntegerThatIsNotANumber", Response(value("<int>12abc</int>")),
     "raises:'12abc' is not a valid integer value"},
    {"IntegerOutOfRange", Response(value("<int>2147483648</int>")),
     "raises:'2147483648' is not a valid integer value"},
    {"BadDate", Response(value("<dateTime.iso8601>2024-03-01</dateTime.iso8601>")),
     "raises:'2024-03-01' is not a valid date and time"},
    {"ShortDate", Response(value("<dateTime.iso8601>20240301T10:15</dateTime.iso8601>")),
     "raises:'20240301T10:15' is not a valid date and time"},
    {"FaultWithoutString", fault(member("faultCode", value("<int>1</int>"))),
     "raises:TStruct.GetString(faultString) - key not found"},
    {"FaultWithTextCode",
     fault(member("faultCode", value("<string>x</string>")) +
           member("faultString", value("<string>m</string>"))),
     "raises:TStruct.GetInteger(faultCode) - Item is not a integer"},
};

class XmlRpcDecoding : public testing::TestWithParam<DecodeCase> {};

std::string decode(TCaller& caller, const DecodeCase& c) {
    try {
        return Describe(caller.ProcessReply(c.reply));
    } catch (const Exception& error) {
        return std::string("raises:") + error.what();
    }
}

TEST_P(XmlRpcDecoding, DecodesAsExpected) {
    const DecodeCase& c = GetParam();
    TCaller caller;
    if (c.fixEmptyValues)
        caller.SwitchOnFixEmptyValues();
    EXPECT_EQ(decode(caller, c), c.expected);
    // The parser is kept between replies; a second decode must not see the first one's state.
    EXPECT_EQ(decode(caller, c), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Replies, XmlRpcDecoding, testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.name); });

// expat hands the text of one run in pieces wherever a read ends or an entity stands; however
// the reply is cut, the decoded values are the same.
TEST(XmlRpcDecoder, ChunkBoundariesDoNotSplitValues) {
    const std::string reply = Response(value(
        "<struct>" + member("text", value("<string>Größe &amp; &lt;Maß&gt; – 日本</string>")) +
        member("number", value("<int>-123456</int>")) +
        member("date", value("<dateTime.iso8601>20240301T10:15:07</dateTime.iso8601>")) +
        "</struct>"));
    TClientParser parser;
    const std::string whole = Describe(parser.Decode(reply));
    EXPECT_EQ(whole, "struct{text=string:\"Größe & <Maß> – 日本\",number=int:-123456,"
                     "date=date:2024-03-01 10:15:07}");
    for (size_t chunk = 1; chunk <= 17; ++chunk)
        EXPECT_EQ(Describe(parser.Decode(reply, chunk)), whole) << "chunk size " << chunk;
}

TEST(XmlRpcDecoder, NestingIsBounded) {
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<value><array><data>";
    const TResult result = TClientParser().Decode(Response(deep));
    ASSERT_TRUE(result.IsError());
    EXPECT_EQ(result.ErrorCode(), kXmlRpcMalformedReply);
    EXPECT_NE(result.GetErrorString().find("nested more than 64 deep"), std::string::npos);

    std::string fine;
    for (int i = 0; i < TClientParser::kMaxNesting; ++i)
        fine += "<value><array><data>";
    for (int i = 0; i < TClientParser::kMaxNesting; ++i)
        fine += "</data></array></value>";
    EXPECT_TRUE(TClientParser().Decode(Response(fine)).IsArray());
}

TEST(XmlRpcDecoder, EveryFixUpFormReadsAsEmptyString) {
    const char* forms[] = {
        "<string></string>",        "<STRING></String>",      "<string></nil></string>",
        "<string></null></string>", "<string> </string>",     "<value></value>",
        "<value></nil></value>",    "<VALUE></NULL></VALUE>", "<value> </value>"};
    for (const char* form : forms) {
        const bool bareValue = std::string_view(form).substr(1, 5) == "value" ||
                               std::string_view(form).substr(1, 5) == "VALUE";
        const std::string inner = bareValue ? form : "<value>" + std::string(form) + "</value>";
        TCaller caller;
        caller.SwitchOnFixEmptyValues();
        const TResult result = caller.ProcessReply(
            Response(value("<struct>" + member("Warnings", inner) + "</struct>")));
        EXPECT_EQ(Describe(result), "struct{Warnings=string:\"\"}") << form;
    }
}

// The parser resolves one level of entities and TResult.GetString the next; struct members get
// no second pass.
TEST(XmlRpcDecoder, SecondEntityPassOnlyForTopLevelStrings) {
    TCaller caller;
    EXPECT_EQ(caller.ProcessReply(Response(value("<string>R&amp;amp;D</string>"))).GetString(),
              "R&D");
    const TResult inStruct = caller.ProcessReply(Response(
        value("<struct>" + member("n", value("<string>R&amp;amp;D</string>")) + "</struct>")));
    EXPECT_EQ(inStruct.GetStruct().GetString("n"), "R&amp;D");
}

} // namespace
} // namespace tlv
