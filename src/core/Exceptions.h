#pragma once

#include <stdexcept>
#include <string>

namespace tlv {

// Base of every error the program raises. Errors carry their message with them; handlers show
// or log `what()` and never have to look elsewhere for the reason.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// A text that does not convert to the number or truth value a reader asked for.
class EConvertError : public Exception {
    using Exception::Exception;
};

// A file or folder operation that failed; the message names the path and the reason.
class EInOutError : public Exception {
    using Exception::Exception;
};

} // namespace tlv
