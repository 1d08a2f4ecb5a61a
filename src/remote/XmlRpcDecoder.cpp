#include "remote/XmlRpcDecoder.h"

#include "core/Convert.h"
#include "core/Exceptions.h"
#include "core/Text.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <exception>
#include <expat.h>
#include <new>

namespace tlv {

namespace {

// The element names the decoder acts on; everything else is Other.
enum class Tag : uint8_t {
    None,
    Other,
    Value,
    String,
    Name,
    Int,
    Double,
    DateTime,
    Base64,
    Boolean,
    Struct,
    Array
};

// Whether `name` is `lower` (a lower-case name) in any letter case, looking from its second
// character on; the first has been matched already. "| 0x20" folds ASCII letters and leaves the
// digits and "." of the known names alone.
bool restIs(const XML_Char* name, const char* lower) {
    size_t i = 1;
    for (; lower[i] != '\0'; ++i)
        if ((name[i] | 0x20) != lower[i])
            return false;
    return name[i] == '\0';
}

bool isNamed(const XML_Char* name, const char* lower) {
    return (name[0] | 0x20) == lower[0] && restIs(name, lower);
}

// Element names are compared without regard to letter case; XML names hold no blanks, so there
// is nothing to trim. Runs for every tag of a reply, hence the dispatch on the first letter.
Tag classify(const XML_Char* name) {
    switch (name[0] | 0x20) {
    case 'v':
        return restIs(name, "value") ? Tag::Value : Tag::Other;
    case 's':
        return restIs(name, "string")   ? Tag::String
               : restIs(name, "struct") ? Tag::Struct
                                        : Tag::Other;
    case 'n':
        return restIs(name, "name") ? Tag::Name : Tag::Other;
    case 'i':
        return restIs(name, "int") || restIs(name, "i4") ? Tag::Int : Tag::Other;
    case 'd':
        return restIs(name, "double")             ? Tag::Double
               : restIs(name, "datetime.iso8601") ? Tag::DateTime
                                                  : Tag::Other;
    case 'b':
        return restIs(name, "boolean")  ? Tag::Boolean
               : restIs(name, "base64") ? Tag::Base64
                                        : Tag::Other;
    case 'a':
        return restIs(name, "array") ? Tag::Array : Tag::Other;
    default:
        return Tag::Other;
    }
}

bool isBlank(std::string_view text) {
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\v' && c != '\f')
            return false;
    return true;
}

bool isDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

double readFloat(const std::string& text) {
    std::string_view s = Trim(text);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size())
        throw EConvertError("'" + text + "' is not a valid floating point value");
    return value;
}

// Compact ISO 8601, "YYYYMMDDTHH:MM:SS": fixed positions, any separator characters.
TDateTime readIsoDate(const std::string& text) {
    auto field = [&](size_t pos, size_t len) {
        if (pos + len > text.size() || !isDigits(std::string_view(text).substr(pos, len)))
            throw EConvertError("'" + text + "' is not a valid date and time");
        return StrToInt(std::string_view(text).substr(pos, len));
    };
    int year = field(0, 4), month = field(4, 2), day = field(6, 2);
    int hour = field(9, 2), minute = field(12, 2), second = field(15, 2);
    TDateTime result;
    TDateTime time;
    if (!TDateTime::TryEncodeDate(year, month, day, result) ||
        !TDateTime::TryEncodeTime(hour, minute, second, 0, time))
        throw EConvertError("'" + text + "' is not a valid date and time");
    return TDateTime::Combine(result, time);
}

// Windows-1252, for replies that declare it: expat knows only UTF-8, UTF-16, ISO-8859-1 and
// US-ASCII by itself. The five bytes that code page leaves undefined map to themselves.
constexpr int kCp1252High[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                 0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

int XMLCALL onUnknownEncoding(void*, const XML_Char* name, XML_Encoding* info) {
    static constexpr std::string_view cp1252Names[] = {
        "windows-1252", "cp1252", "latin1", "latin-1", "l1", "iso8859-1", "iso_8859-1"};
    if (std::none_of(std::begin(cp1252Names), std::end(cp1252Names),
                     [&](std::string_view n) { return EqualsNoCase(n, name); }))
        return XML_STATUS_ERROR;
    for (int i = 0; i < 256; ++i)
        info->map[i] = (i >= 0x80 && i < 0xA0) ? kCp1252High[i - 0x80] : i;
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

} // namespace

struct TClientParser::Decoding {
    // A struct or array whose end tag has not come yet, with the name of the member it will
    // become when its parent is a struct.
    struct Open {
        bool isStruct = false;
        TStruct structValue;
        TArray arrayValue;
        std::string memberName;
    };

    XML_Parser parser = nullptr;
    std::vector<Open> stack;
    std::string memberName;
    Tag element = Tag::None;
    std::string text; // the character data of the current run, joined from expat's pieces
    bool inCdata = false;
    TResult result;
    bool haveResult = false;
    std::exception_ptr error;
    std::string breakReason;
    bool stopped = false;
    // To undo an empty-element tag, which the decoding ignores as a whole.
    Tag elementBeforeStart = Tag::None;
    bool startPushed = false;
    bool justStarted = false; // nothing came since the last start tag
    bool listening = false;   // the character data handler is set
    // Structs of a reply tend to come in runs of one shape (the records of a list): each new
    // one gets room for as many members as the last one closed.
    int lastStructSize = 0;

    ~Decoding() {
        if (parser)
            XML_ParserFree(parser);
    }

    void begin();
    void feed(std::string_view document, size_t chunkSize);
    TResult finish();

    void stop() {
        stopped = true;
        XML_StopParser(parser, XML_FALSE);
    }
    void breakWith(std::string reason) {
        breakReason = std::move(reason);
        stop();
    }
    template <class F> void guarded(F&& f) {
        if (stopped)
            return;
        try {
            f();
        } catch (...) {
            // Exceptions must not cross expat's C frames: park it and stop the parser.
            error = std::current_exception();
            stop();
        }
    }

    // Text counts only inside the elements that carry a value or a member name; everywhere
    // else it changes nothing. Taking the handler away there spares a call for each of the
    // line breaks between the tags, the bulk of all character data in a reply.
    void listenForText() {
        const bool wanted = element != Tag::None && element != Tag::Other &&
                            element != Tag::Struct && element != Tag::Array;
        if (wanted != listening) {
            XML_SetCharacterDataHandler(parser, wanted ? onText : nullptr);
            listening = wanted;
        }
    }
    void startElement(const XML_Char* name);
    void endElement(const XML_Char* name);
    void flushText();
    void processText(std::string& run);
    void addValue(TValue&& value, const std::string& name);
    void setResult(TValue&& value);

    static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char**) {
        auto& d = *static_cast<Decoding*>(self);
        d.guarded([&] {
            d.startElement(name);
            d.listenForText();
        });
    }
    static void XMLCALL onEnd(void* self, const XML_Char* name) {
        auto& d = *static_cast<Decoding*>(self);
        d.guarded([&] {
            d.endElement(name);
            d.listenForText();
        });
    }
    static void XMLCALL onText(void* self, const XML_Char* s, int len) {
        auto& d = *static_cast<Decoding*>(self);
        d.justStarted = false;
        if (!d.stopped && !d.inCdata)
            d.guarded([&] { d.text.append(s, static_cast<size_t>(len)); });
    }
    // Comments, processing instructions and CDATA sections are parts of their own: they end
    // the text run before them, and their content is not taken.
    static void XMLCALL onComment(void* self, const XML_Char*) {
        auto& d = *static_cast<Decoding*>(self);
        d.justStarted = false;
        d.guarded([&] {
            d.flushText();
            d.listenForText();
        });
    }
    static void XMLCALL onInstruction(void* self, const XML_Char*, const XML_Char*) {
        onComment(self, nullptr);
    }
    static void XMLCALL onCdataStart(void* self) {
        auto& d = *static_cast<Decoding*>(self);
        d.justStarted = false;
        d.guarded([&] {
            d.flushText();
            d.inCdata = true;
        });
    }
    static void XMLCALL onCdataEnd(void* self) { static_cast<Decoding*>(self)->inCdata = false; }
    // XML-RPC has no use for a DTD; entity declarations only serve expansion attacks.
    static void XMLCALL onEntityDeclaration(void* self, const XML_Char*, int, const XML_Char*, int,
                                            const XML_Char*, const XML_Char*, const XML_Char*,
                                            const XML_Char*) {
        auto& d = *static_cast<Decoding*>(self);
        if (!d.stopped)
            d.breakWith("entity declarations are not allowed");
    }
};

void TClientParser::Decoding::begin() {
    if (!parser)
        parser = XML_ParserCreate(nullptr);
    else
        XML_ParserReset(parser, nullptr);
    if (!parser)
        throw std::bad_alloc();
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, onStart, onEnd);
    listening = false; // no character data handler until an element wants text
    XML_SetCommentHandler(parser, onComment);
    XML_SetProcessingInstructionHandler(parser, onInstruction);
    XML_SetCdataSectionHandler(parser, onCdataStart, onCdataEnd);
    XML_SetEntityDeclHandler(parser, onEntityDeclaration);
    XML_SetUnknownEncodingHandler(parser, onUnknownEncoding, nullptr);

    stack.clear();
    memberName.clear();
    element = Tag::None;
    text.clear();
    inCdata = false;
    result = TResult();
    haveResult = false;
    error = nullptr;
    breakReason.clear();
    stopped = false;
    elementBeforeStart = Tag::None;
    startPushed = false;
    justStarted = false;
    lastStructSize = 0;
}

void TClientParser::Decoding::feed(std::string_view document, size_t chunkSize) {
    constexpr size_t maxPiece = INT_MAX / 2; // XML_Parse takes an int length
    // A whole reply goes in as the final piece: expat then skips a second pass over all of it
    // that only keeps its line and column count up to date.
    if (chunkSize == 0 && document.size() <= maxPiece) {
        XML_Parse(parser, document.data(), static_cast<int>(document.size()), XML_TRUE);
        return;
    }
    if (chunkSize == 0 || chunkSize > maxPiece)
        chunkSize = maxPiece;
    size_t offset = 0;
    while (offset < document.size()) {
        const size_t piece = std::min(chunkSize, document.size() - offset);
        if (XML_Parse(parser, document.data() + offset, static_cast<int>(piece), XML_FALSE) !=
            XML_STATUS_OK)
            return;
        offset += piece;
    }
    XML_Parse(parser, "", 0, XML_TRUE);
}

TResult TClientParser::Decoding::finish() {
    const bool broken = stopped || XML_GetErrorCode(parser) != XML_ERROR_NONE;
    std::string where;
    if (broken) {
        // Counting lines costs a pass over the reply; only a broken one needs it.
        where = " (line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
                std::to_string(XML_GetCurrentColumnNumber(parser)) + ")";
    }
    std::string reason = breakReason;
    if (broken && reason.empty())
        reason = XML_ErrorString(XML_GetErrorCode(parser));
    TResult outcome = std::move(result);
    const bool complete = haveResult;
    // Drop what a broken reply left open now rather than at the next call.
    stack.clear();
    text.clear();
    if (error) {
        auto raised = error;
        error = nullptr;
        std::rethrow_exception(raised);
    }
    if (!broken || (complete && breakReason.empty()))
        return outcome;
    return TResult::Error(kXmlRpcMalformedReply,
                          "Malformed XML-RPC response from the server: " + reason + where);
}

void TClientParser::Decoding::startElement(const XML_Char* name) {
    flushText();
    const Tag tag = classify(name);
    elementBeforeStart = element;
    startPushed = false;
    if (tag == Tag::Struct || tag == Tag::Array) {
        if (stack.size() >= kMaxNesting) {
            breakWith("values nested more than " + std::to_string(kMaxNesting) + " deep");
            return;
        }
        Open& open = stack.emplace_back();
        open.isStruct = tag == Tag::Struct;
        if (open.isStruct && lastStructSize > 0)
            open.structValue.Reserve(lastStructSize);
        open.memberName = memberName;
        startPushed = true;
    }
    element = tag;
    justStarted = true;
}

void TClientParser::Decoding::endElement(const XML_Char* name) {
    flushText();
    // expat reports "<x/>" as a start and an end event; only the end has no bytes of its own,
    // and it follows its start at once.
    const bool emptyElementTag = justStarted && XML_GetCurrentByteCount(parser) == 0;
    justStarted = false;
    if (emptyElementTag) {
        if (startPushed)
            stack.pop_back();
        element = elementBeforeStart;
        startPushed = false;
        return;
    }
    startPushed = false;
    if (stack.empty())
        return;
    Open& top = stack.back();
    if (!isNamed(name, top.isStruct ? "struct" : "array"))
        return;
    Open closed = std::move(top);
    stack.pop_back();
    if (closed.isStruct)
        lastStructSize = closed.structValue.Count();
    TValue value = closed.isStruct ? TValue(std::move(closed.structValue))
                                   : TValue(std::move(closed.arrayValue));
    if (stack.empty())
        setResult(std::move(value));
    else
        addValue(std::move(value), closed.memberName);
}

void TClientParser::Decoding::flushText() {
    if (text.empty())
        return;
    processText(text);
    text.clear();
}

void TClientParser::Decoding::processText(std::string& run) {
    if (isBlank(run))
        return;
    Tag tag = element == Tag::Value ? Tag::String : element;
    if (tag == Tag::Name) {
        memberName = run;
        return;
    }
    element = Tag::None;
    switch (tag) {
    case Tag::String:
        if (run == std::string_view("[NULL]"))
            run.clear();
        addValue(TValue(TValueKind::String, std::move(run)), memberName);
        break;
    case Tag::Base64:
        addValue(TValue(TValueKind::Base64, std::move(run)), memberName);
        break;
    case Tag::Int:
        addValue(TValue(static_cast<int32_t>(StrToInt(run))), memberName);
        break;
    case Tag::Double:
        addValue(TValue(readFloat(run)), memberName);
        break;
    case Tag::Boolean:
        addValue(TValue(run != "0"), memberName);
        break;
    case Tag::DateTime:
        addValue(TValue(readIsoDate(run)), memberName);
        break;
    default:
        break;
    }
}

void TClientParser::Decoding::addValue(TValue&& value, const std::string& name) {
    if (stack.empty()) {
        setResult(std::move(value));
        return;
    }
    Open& top = stack.back();
    if (top.isStruct)
        top.structValue.Add(name, std::move(value));
    else
        top.arrayValue.Add(std::move(value));
}

void TClientParser::Decoding::setResult(TValue&& value) {
    if (value.Kind() == TValueKind::Struct && value.Struct().HasMember("faultCode")) {
        const TStruct& fault = value.Struct();
        const int code = fault.GetInteger("faultCode");
        result = TResult::Error(code, DecodeEntities(fault.GetString("faultString")));
    } else {
        result = TResult(std::move(value));
    }
    haveResult = true;
}

TClientParser::TClientParser() = default;
TClientParser::~TClientParser() = default;

TResult TClientParser::Decode(std::string_view document, size_t chunkSize) {
    if (!m_decoding)
        m_decoding = std::make_unique<Decoding>();
    m_decoding->begin();
    m_decoding->feed(document, chunkSize);
    return m_decoding->finish();
}

} // namespace tlv
