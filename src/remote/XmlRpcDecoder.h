#pragma once

#include "remote/XmlRpcValue.h"

#include <cstddef>
#include <memory>
#include <string_view>

namespace tlv {

// Error codes of results that the call layer makes itself (the server's faults carry their own).
constexpr int kXmlRpcEmptyReply = 600;
constexpr int kXmlRpcInvalidPayload = 601;
constexpr int kXmlRpcMalformedReply = 602;

// Decodes an XML-RPC reply document into a TResult with expat. The parser and the stack of open
// structs and arrays are made on first use and kept for later replies. One thread at a time.
class TClientParser {
public:
    TClientParser();
    virtual ~TClientParser();
    TClientParser(const TClientParser&) = delete;
    TClientParser& operator=(const TClientParser&) = delete;

    // A fault becomes an error result with the server's code and message. A reply that breaks
    // off (malformed, truncated, nested deeper than kMaxNesting, declaring entities) keeps the
    // value completed before the break, or else is a kXmlRpcMalformedReply error. A well-formed
    // reply without any value gives an empty result. Conversion errors of a value's text and
    // accessor errors of a fault struct are raised.
    // `chunkSize` above 0 feeds expat in pieces of that size, as a network read would.
    TResult Decode(std::string_view document, size_t chunkSize = 0);

    static constexpr int kMaxNesting = 64;

private:
    struct Decoding;
    std::unique_ptr<Decoding> m_decoding;
};

} // namespace tlv
