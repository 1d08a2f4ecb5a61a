#pragma once

#include "core/DateTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tlv {

// The value model of the XML-RPC call layer: what a reply decodes into and what a call sends.
// Objects of this model belong to the thread that runs the call.

enum class TValueKind : uint8_t {
    Float,
    Integer,
    String,
    Boolean,
    Date,
    Base64,
    Struct,
    Array,
    Error
};

struct TStructItem;
class TValue;

// Members in document order. Names are looked up ignoring letter case; the first member of a
// name wins, and members with equal names are all kept.
class TStruct {
public:
    void Add(std::string name, TValue&& value);
    // Room for `count` members ahead of adding them.
    void Reserve(int count);

    int Count() const;
    const TStructItem& Item(int position) const;
    // The first member of that name, or null.
    const TStructItem* Find(std::string_view name) const;
    bool HasMember(std::string_view name) const { return Find(name) != nullptr; }

    // Each getter raises tlv::Exception when the member is missing or of another kind.
    const std::string& GetString(std::string_view name) const;
    int32_t GetInteger(std::string_view name) const;
    bool GetBoolean(std::string_view name) const;
    int32_t GetInteger(int position) const;
    const std::string& GetString(int position) const;

private:
    std::vector<TStructItem> m_items;
};

class TArray {
public:
    void Add(TValue&& value);

    int Count() const;
    const TValue& Item(int index) const;
    // Raise tlv::Exception when the item is of another kind.
    const std::string& GetString(int index) const;
    const TStruct& GetStruct(int index) const;

private:
    std::vector<TValue> m_items;
};

// One decoded value of any kind but error. Structs and arrays are held in the value itself: a
// list of thousands of records is then one allocation per record fewer.
class TValue {
public:
    TValue();                                  // an empty string
    TValue(TValueKind kind, std::string text); // String or Base64 (base64 is kept encoded)
    explicit TValue(int32_t integer);
    explicit TValue(double number);
    explicit TValue(bool flag);
    explicit TValue(TDateTime date);
    explicit TValue(TStruct&& value);
    explicit TValue(TArray&& value);
    TValue(const char*) = delete; // would quietly become a flag
    ~TValue();
    TValue(TValue&&) noexcept;
    TValue& operator=(TValue&&) noexcept;
    TValue(const TValue&) = delete; // a reply's values are moved, never copied
    TValue& operator=(const TValue&) = delete;

    TValueKind Kind() const;
    // Unchecked reads: the caller has looked at Kind() first.
    const std::string& Text() const;
    int32_t Integer() const { return std::get<int32_t>(m_value); }
    double Float() const { return std::get<double>(m_value); }
    bool Boolean() const { return std::get<bool>(m_value); }
    TDateTime Date() const { return std::get<TDateTime>(m_value); }
    const TStruct& Struct() const { return std::get<TStruct>(m_value); }
    const TArray& Array() const { return std::get<TArray>(m_value); }

private:
    // Base64 text is a string too; its own type keeps the two kinds apart.
    struct EncodedText {
        std::string text;
    };
    std::variant<std::string, EncodedText, int32_t, double, bool, TDateTime, TStruct, TArray>
        m_value;
};

struct TStructItem {
    TStructItem(std::string name, TValue&& value)
        : Name(std::move(name)), Value(std::move(value)) {}

    std::string Name;
    TValue Value;
};

inline int TStruct::Count() const {
    return static_cast<int>(m_items.size());
}
inline void TStruct::Reserve(int count) {
    m_items.reserve(static_cast<size_t>(count));
}
inline int TArray::Count() const {
    return static_cast<int>(m_items.size());
}
inline void TArray::Add(TValue&& value) {
    m_items.push_back(std::move(value));
}

// The outcome of one call: a value, an error (code and message), or nothing when a well-formed
// reply held no value at all.
class TResult {
public:
    TResult() = default;
    explicit TResult(TValue value) : m_value(std::move(value)) {}
    static TResult Error(int code, std::string message);

    bool IsError() const { return m_isError; }
    bool IsStruct() const { return m_value && m_value->Kind() == TValueKind::Struct; }
    bool IsArray() const { return m_value && m_value->Kind() == TValueKind::Array; }
    bool HasValue() const { return m_value.has_value(); }
    const TValue& Value() const { return *m_value; }
    int ErrorCode() const { return m_errorCode; }

    // Each getter raises tlv::Exception when the result is of another kind.
    // The text of a string result passes through DecodeEntities once more.
    std::string GetString() const;
    const TStruct& GetStruct() const;
    const TArray& GetArray() const;
    const std::string& GetErrorString() const;

private:
    std::optional<TValue> m_value;
    bool m_isError = false;
    int m_errorCode = 0;
    std::string m_errorMessage;
};

struct TFunctionItem {
    TValueKind Kind = TValueKind::String;
    std::string Text; // String: already escaped for XML
    int32_t Integer = 0;
};

// One call to be sent: a method name and its parameters in order.
class TFunction {
public:
    void SetMethodName(std::string name) { m_methodName = std::move(name); }
    const std::string& MethodName() const { return m_methodName; }
    void AddString(std::string_view text);
    void AddInteger(int32_t value);
    const std::vector<TFunctionItem>& Params() const { return m_params; }

    // The request document: one line, in the program's character set, no encoding declared.
    std::string Document() const;
    void Clear();

private:
    std::string m_methodName;
    std::vector<TFunctionItem> m_params;
};

// "&" "<" ">" '"' "'" as entities, in that order.
std::string EscapeXml(std::string_view text);
// The second entity pass over a text the parser has already resolved once: "&lt;" "&gt;"
// "&quot;" "&apos;" and last "&amp;".
std::string DecodeEntities(std::string_view text);

} // namespace tlv
