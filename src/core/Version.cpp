#include "core/Version.h"

#include "core/Convert.h"
#include "core/Exceptions.h"

#include <string>

namespace tlv {

int ToVersionNumber(std::string_view version) {
    if (version.empty())
        return 100;
    size_t dot = version.find('.');
    if (dot == std::string_view::npos)
        throw EConvertError("'" + std::string(version) + "' is not a valid API version");
    return StrToInt(version.substr(0, dot)) * 100 + StrToInt(version.substr(dot + 1));
}

} // namespace tlv
