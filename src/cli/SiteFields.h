#pragma once

#include "sites/KeltroTypes.h"

#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>

namespace tlv::cli {

// The fields of a site definition by their names, as `show` prints them and `set` changes them.
struct TSiteField;

// Every field, in the definition's order.
std::span<const TSiteField* const> SiteFields();

// The field of that name (letter case ignored); raises ECliUsage for an unknown name.
const TSiteField& FindSiteField(std::string_view name);

std::string_view FieldName(const TSiteField& field);

// The value as text and as JSON; a password that is set reads "****".
std::string FieldText(const TSiteField& field, const TKeltroSiteDefinition& definition);
nlohmann::json FieldJson(const TSiteField& field, const TKeltroSiteDefinition& definition);

// Converts `text` and stores it in the field. Raises ECliUsage, leaving the definition
// unchanged, when the text does not convert, is out of the field's range, or the field cannot
// be set (SiteID).
void SetField(const TSiteField& field, TKeltroSiteDefinition& definition, const std::string& text);

// The stored form of a download folder typed on the command line: relative to the current
// folder when relative, then as StoredFolderPath keeps it (portable installations store it
// relative to the program).
std::string DownloadFolderFromCommandLine(const std::string& folder);

} // namespace tlv::cli
