#include "storage/Options.h"

#include "core/Convert.h"
#include "core/Text.h"
#include "storage/DatabaseConnection.h"

#include <algorithm>
#include <memory>

namespace tlv {

namespace {
std::unique_ptr<TOptionsRegistry> g_options;
}

TOptionsRegistry& TOptionsRegistry::Instance() {
    if (!g_options) {
        auto options = std::make_unique<TOptionsRegistry>();
        options->Load();
        g_options = std::move(options);
    }
    return *g_options;
}

void TOptionsRegistry::Release() { g_options.reset(); }

bool TOptionsRegistry::Exists() { return g_options != nullptr; }

std::string TOptionsRegistry::ReadOption(const std::string& key,
                                         const std::string& fallback) const {
    for (const auto& [name, value] : m_pairs)
        if (EqualsNoCase(name, key))
            return value;
    return fallback;
}

void TOptionsRegistry::WriteOption(const std::string& key, const std::string& value) {
    std::erase_if(m_pairs, [&](const auto& pair) { return EqualsNoCase(pair.first, key); });
    m_pairs.emplace_back(key, value);
}

void TOptionsRegistry::Load() {
    m_pairs.clear();
    auto query = DatabaseConnection().Query("SELECT * FROM [Options]");
    while (query.Next()) {
        std::string key = query.FieldAsText("Key");
        if (key != "DBVersion")
            WriteOption(key, query.FieldAsText("Value"));
    }
}

void TOptionsRegistry::Save() {
    if (m_pairs.empty())
        return;
    TSQLiteDatabase& db = DatabaseConnection();
    db.InTransaction([&] {
        for (const auto& [key, value] : m_pairs) {
            // The schema version belongs to the database layer, whatever a caller wrote.
            if (key == "DBVersion")
                continue;
            db.ExecSQL("DELETE FROM [Options] WHERE [Key] = ?", {SQLText(key)});
            db.ExecSQL("INSERT INTO [Options] ([Key], [Value]) VALUES (?, ?)",
                       {SQLText(key), SQLText(value)});
        }
    });
}

bool ReadBoolOption(const std::string& key, const std::string& fallback) {
    return StrToBool(TOptionsRegistry::Instance().ReadOption(key, fallback));
}

int ReadIntOption(const std::string& key, const std::string& fallback) {
    return StrToInt(TOptionsRegistry::Instance().ReadOption(key, fallback));
}

} // namespace tlv
