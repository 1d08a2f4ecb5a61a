#pragma once

#include "core/Exceptions.h"

namespace tlv {

// A failure of an FTP operation: a refusing reply (with its code), a broken or timed-out
// connection (code 0), or a protocol violation. The message is what the server said, or the
// transport's own reason, so a log line can show it as it is.
class EFtpError : public Exception {
public:
    explicit EFtpError(const std::string& message, int code = 0)
        : Exception(message), m_code(code) {}
    int Code() const { return m_code; }

private:
    int m_code;
};

// The running operation was stopped on request (FtpClient::Interrupt).
class EFtpInterrupted : public EFtpError {
public:
    EFtpInterrupted() : EFtpError("Operation aborted") {}
};

} // namespace tlv
