#pragma once

#include "remote/XmlRpcDecoder.h"
#include "remote/XmlRpcValue.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tlv {

// Performs XML-RPC method calls against one site's endpoint over HTTP or HTTPS (libcurl), with
// the server certificate pinned, and decodes the replies. Used by one thread at a time: the
// thread that calls Call runs the exchange, the decoding and OnLog.
//
// Setting TOLVANE_DEBUG_XMLRPC=1 in the environment writes every reply, unmasked, to stderr.
class TCaller : public TClientParser {
public:
    TCaller() = default;

    // Connection settings, rewritten by the connector before every call.
    std::string Host;
    std::string Path; // begins with "/" or is empty
    int32_t Port = 80;
    bool UseSSL = false;
    std::string ProxyServer; // empty: no proxy
    int32_t ProxyPort = 0;
    std::string ProxyUsername;
    std::string ProxyPassword;
    bool BasicAuthentication = false; // to the proxy
    std::string CertificateSignature; // the one server certificate signature accepted
    // Replaced by "****" in every logged line (the site's user name and password).
    std::string LogMaskUser;
    std::string LogMaskPassword;
    // Receives each log line; nothing is logged while it is empty.
    std::function<void(const std::string&)> OnLog;

    // Transport limits. A backup step may keep the server silent for minutes, so the limit on
    // a silent transfer is generous; the connect limit is not.
    long ConnectTimeoutSeconds = 30;
    long InactivitySeconds = 600; // less than 1 byte/s for this long ends the transfer
    size_t MaxReplyBytes = size_t{64} << 20;

    // Empty-value fix-ups of replies; once on, they stay on for the life of the caller.
    void SwitchOnFixEmptyValues() { m_fixEmptyValues = true; }
    bool FixEmptyValues() const { return m_fixEmptyValues; }

    // Sends `function` and decodes the reply. A failed exchange is not raised: it gives error
    // 600 (no reply) or 601 (a reply that is not XML). Conversion and accessor errors while
    // decoding are raised. The function is cleared after a decoded reply.
    TResult Call(TFunction& function);

    // The address a call goes to, built from the settings.
    std::string Address() const;

    // The reply half of Call: fix-ups, the debug channel, the "GOT:" log line, validation and
    // decoding of a reply text (empty when the exchange failed).
    TResult ProcessReply(std::string reply);

private:
    struct Exchange {
        std::string body;
        std::string failure; // why the exchange failed, for the log
        bool ok = false;
    };
    Exchange exchange(const std::string& document) const;
    std::string mask(std::string_view text) const;
    void log(const std::string& line) const;

    bool m_fixEmptyValues = false;
    bool m_decoded = false; // the last reply reached the decoder
};

// The eight empty-value fix-ups, letter case ignored, applied in their order.
std::string FixUpEmptyValues(std::string_view reply);

} // namespace tlv
