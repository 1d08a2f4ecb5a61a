// Feeds arbitrary replies through the reply half of an XML-RPC call (fix-ups, validation,
// decoding) and reads whatever comes out the way the connector would. The first byte picks the
// fix-ups and how the decoder is fed; decoding in pieces must give what decoding whole gives.

#include "core/Exceptions.h"
#include "remote/XMLRPCConnector.h"
#include "remote/XmlRpcCall.h"
#include "storage/Translate.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace tlv;

std::string describe(const TValue& value, int depth = 0);

std::string describeResult(const TResult& result) {
    if (result.IsError())
        return "error " + std::to_string(result.ErrorCode());
    return result.HasValue() ? describe(result.Value()) : "none";
}

std::string describe(const TValue& value, int depth) {
    if (depth > TClientParser::kMaxNesting + 1)
        std::abort(); // the decoder promised to bound nesting
    switch (value.Kind()) {
    case TValueKind::String:
    case TValueKind::Base64:
        return "s" + std::to_string(value.Text().size()) + value.Text();
    case TValueKind::Integer:
        return "i" + std::to_string(value.Integer());
    case TValueKind::Boolean:
        return value.Boolean() ? "t" : "f";
    case TValueKind::Float:
        return "d" + std::to_string(value.Float());
    case TValueKind::Date:
        return "D" + std::to_string(value.Date().Value());
    case TValueKind::Struct: {
        std::string text = "{";
        const TStruct& s = value.Struct();
        for (int i = 0; i < s.Count(); ++i)
            text += s.Item(i).Name + "=" + describe(s.Item(i).Value, depth + 1) + ",";
        return text + "}";
    }
    case TValueKind::Array: {
        std::string text = "[";
        for (int i = 0; i < value.Array().Count(); ++i)
            text += describe(value.Array().Item(i), depth + 1) + ",";
        return text + "]";
    }
    case TValueKind::Error:
        break;
    }
    return "?";
}

template <class F> void attempt(F&& read) {
    try {
        read();
    } catch (const Exception&) {
        // Accessor and conversion errors are the expected answer to odd replies.
    }
}

void readLikeTheConnector(const TResult& result) {
    attempt([&] { (void)result.GetString(); });
    attempt([&] { (void)ReadBackups(result); });
    attempt([&] {
        const TStruct& step = result.GetStruct();
        for (const char* name : {"IsFinished", "Domain", "Step", "Substep", "Error", "Warnings"})
            if (step.HasMember(name))
                attempt([&] { (void)step.GetString(name); });
        attempt([&] { (void)step.GetBoolean("IsFinished"); });
        attempt([&] { (void)step.GetInteger(0); });
        attempt([&] { (void)step.GetString(1); });
    });
    attempt([&] {
        const TArray& items = result.GetArray();
        for (int i = 0; i < items.Count(); ++i) {
            attempt([&] { (void)items.GetString(i); });
            attempt([&] { (void)items.GetStruct(i).GetInteger(0); });
        }
    });
}

std::string decodeOutcome(TClientParser& parser, const std::string& text, size_t chunk) {
    try {
        return describeResult(parser.Decode(text, chunk));
    } catch (const Exception& error) {
        return std::string("raised ") + error.what();
    }
}

} // namespace

// The connector's error prefix is never built here; this stands in for the catalogue.
std::string tlv::Translate(std::string_view key) {
    return std::string(key);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);

    // Kept between inputs, as a connector keeps its caller between calls.
    static TCaller plain;
    static TCaller fixing;
    fixing.SwitchOnFixEmptyValues();
    TCaller& caller = (mode & 1) ? fixing : plain;

    try {
        readLikeTheConnector(caller.ProcessReply(reply));
    } catch (const Exception&) {
    }

    if (const size_t chunk = (mode >> 1) & 0x1F) {
        static TClientParser whole;
        static TClientParser pieces;
        if (decodeOutcome(whole, reply, 0) != decodeOutcome(pieces, reply, chunk))
            std::abort();
    }
    return 0;
}
