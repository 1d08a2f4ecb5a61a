#include "remote/XmlRpcValue.h"

#include "core/Exceptions.h"
#include "core/Text.h"

namespace tlv {

namespace {
[[noreturn]] void fail(std::string message) {
    throw Exception(message);
}

std::string structMessage(const char* getter, std::string_view key, const char* problem) {
    std::string message = "TStruct.";
    message += getter;
    message += '(';
    message += key;
    message += ") - ";
    message += problem;
    return message;
}

// Member lookups run for every field of every record read; kept inline and cheap.
bool sameNameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x == y)
            continue;
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

void replaceInPlace(std::string& text, std::string_view from, std::string_view to) {
    if (text.find(from) != std::string::npos)
        text = ReplaceAll(text, from, to);
}
} // namespace

// ---- TValue --------------------------------------------------------------------------------

TValue::TValue() = default;
TValue::TValue(TValueKind kind, std::string text) {
    if (kind == TValueKind::Base64)
        m_value = EncodedText{std::move(text)};
    else
        m_value = std::move(text);
}
TValue::TValue(int32_t integer) : m_value(integer) {}
TValue::TValue(double number) : m_value(number) {}
TValue::TValue(bool flag) : m_value(flag) {}
TValue::TValue(TDateTime date) : m_value(date) {}
TValue::TValue(TStruct&& value) : m_value(std::move(value)) {}
TValue::TValue(TArray&& value) : m_value(std::move(value)) {}
TValue::~TValue() = default;
TValue::TValue(TValue&&) noexcept = default;
TValue& TValue::operator=(TValue&&) noexcept = default;

TValueKind TValue::Kind() const {
    // In the order of the alternatives.
    static constexpr TValueKind kinds[] = {
        TValueKind::String,  TValueKind::Base64, TValueKind::Integer, TValueKind::Float,
        TValueKind::Boolean, TValueKind::Date,   TValueKind::Struct,  TValueKind::Array};
    return kinds[m_value.index()];
}

const std::string& TValue::Text() const {
    if (const auto* encoded = std::get_if<EncodedText>(&m_value))
        return encoded->text;
    return std::get<std::string>(m_value);
}

// ---- TStruct -------------------------------------------------------------------------------

void TStruct::Add(std::string name, TValue&& value) {
    // Replies hold small structs (a backup record has nine members, a step reply six): room
    // for them at once instead of growing one by one, unless the caller knew better.
    if (m_items.capacity() == 0)
        m_items.reserve(10);
    m_items.emplace_back(std::move(name), std::move(value));
}

const TStructItem& TStruct::Item(int position) const {
    if (position < 0 || position >= Count())
        fail("TStruct.Item(" + std::to_string(position) + ") - index out of bounds");
    return m_items[static_cast<size_t>(position)];
}

const TStructItem* TStruct::Find(std::string_view name) const {
    for (const auto& item : m_items)
        if (sameNameNoCase(item.Name, name))
            return &item;
    return nullptr;
}

const std::string& TStruct::GetString(std::string_view name) const {
    const TStructItem* item = Find(name);
    if (!item)
        fail(structMessage("GetString", name, "key not found"));
    if (item->Value.Kind() != TValueKind::String)
        fail(structMessage("GetString", name, "Item is not a string"));
    return item->Value.Text();
}

int32_t TStruct::GetInteger(std::string_view name) const {
    const TStructItem* item = Find(name);
    if (!item)
        fail(structMessage("GetInteger", name, "key not found"));
    if (item->Value.Kind() != TValueKind::Integer)
        fail(structMessage("GetInteger", name, "Item is not a integer"));
    return item->Value.Integer();
}

bool TStruct::GetBoolean(std::string_view name) const {
    const TStructItem* item = Find(name);
    if (!item)
        fail(structMessage("GetBoolean", name, "key not found"));
    if (item->Value.Kind() != TValueKind::Boolean)
        fail(structMessage("GetBoolean", name, "Item is not a boolean"));
    return item->Value.Boolean();
}

int32_t TStruct::GetInteger(int position) const {
    const std::string key = std::to_string(position);
    if (position < 0 || position >= Count())
        fail(structMessage("GetInteger", key, "index out of bounds"));
    const TValue& value = m_items[static_cast<size_t>(position)].Value;
    if (value.Kind() != TValueKind::Integer)
        fail(structMessage("GetInteger", key, "Item is not a integer"));
    return value.Integer();
}

const std::string& TStruct::GetString(int position) const {
    const std::string key = std::to_string(position);
    if (position < 0 || position >= Count())
        fail(structMessage("GetString", key, "index out of bounds"));
    const TValue& value = m_items[static_cast<size_t>(position)].Value;
    if (value.Kind() != TValueKind::String)
        fail(structMessage("GetString", key, "Item is not a string"));
    return value.Text();
}

// ---- TArray --------------------------------------------------------------------------------

const TValue& TArray::Item(int index) const {
    if (index < 0 || index >= Count())
        fail("TArray.Item(" + std::to_string(index) + ") - index out of bounds");
    return m_items[static_cast<size_t>(index)];
}

const std::string& TArray::GetString(int index) const {
    const TValue& value = Item(index);
    if (value.Kind() != TValueKind::String)
        fail("TArray.GetString(" + std::to_string(index) + ") - Item is not a string type");
    return value.Text();
}

const TStruct& TArray::GetStruct(int index) const {
    const TValue& value = Item(index);
    if (value.Kind() != TValueKind::Struct)
        fail("item is not a struct");
    return value.Struct();
}

// ---- TResult -------------------------------------------------------------------------------

TResult TResult::Error(int code, std::string message) {
    TResult result;
    result.m_isError = true;
    result.m_errorCode = code;
    result.m_errorMessage = std::move(message);
    return result;
}

std::string TResult::GetString() const {
    if (!m_value || m_value->Kind() != TValueKind::String)
        fail("TResult.GetString - Item is not a string type");
    return DecodeEntities(m_value->Text());
}

const TStruct& TResult::GetStruct() const {
    if (!IsStruct())
        fail("TResult.GetStruct - Item is not a struct type");
    return m_value->Struct();
}

const TArray& TResult::GetArray() const {
    if (!IsArray())
        fail("TResult.GetArray - Item is not a array type");
    return m_value->Array();
}

const std::string& TResult::GetErrorString() const {
    if (!m_isError)
        fail("TResult.GetErrorString - Item is not a error string");
    return m_errorMessage;
}

// ---- TFunction -----------------------------------------------------------------------------

void TFunction::AddString(std::string_view text) {
    m_params.push_back(TFunctionItem{TValueKind::String, EscapeXml(text), 0});
}

void TFunction::AddInteger(int32_t value) {
    m_params.push_back(TFunctionItem{TValueKind::Integer, {}, value});
}

std::string TFunction::Document() const {
    std::string document = "<?xml version=\"1.0\"?><methodCall>   <methodName>";
    document += m_methodName;
    document += "</methodName>   <params>";
    for (const auto& param : m_params) {
        document += "   <param>";
        if (param.Kind == TValueKind::Integer) {
            document += "<value><int>";
            document += std::to_string(param.Integer);
            document += "</int></value>";
        } else {
            document += "<value><string>";
            document += param.Text;
            document += "</string></value>";
        }
        document += "   </param>";
    }
    document += "   </params></methodCall>";
    return document;
}

void TFunction::Clear() {
    m_methodName.clear();
    m_params.clear();
}

// ---- Entities ------------------------------------------------------------------------------

std::string EscapeXml(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    // One pass gives the same text as the five replacements in their order, since only the
    // first one ("&") could touch what the others write.
    for (char c : text) {
        switch (c) {
        case '&':
            result += "&amp;";
            break;
        case '<':
            result += "&lt;";
            break;
        case '>':
            result += "&gt;";
            break;
        case '"':
            result += "&quot;";
            break;
        case '\'':
            result += "&apos;";
            break;
        default:
            result += c;
        }
    }
    return result;
}

std::string DecodeEntities(std::string_view text) {
    std::string result(text);
    if (result.find('&') == std::string::npos)
        return result;
    // Sequential on purpose: "&amp;lt;" becomes "&lt;", not "<".
    replaceInPlace(result, "&lt;", "<");
    replaceInPlace(result, "&gt;", ">");
    replaceInPlace(result, "&quot;", "\"");
    replaceInPlace(result, "&apos;", "'");
    replaceInPlace(result, "&amp;", "&");
    return result;
}

} // namespace tlv
