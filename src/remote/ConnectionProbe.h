#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct x509_st;

namespace tlv {

// What a check of the probe ended with: passed, or the translation key of the one error message
// to show and, where the check shows it, the failure's own text.
struct TProbeResult {
    bool Passed = true;
    std::string MessageKey;
    std::string FailureText;

    static TProbeResult Pass() { return {}; }
    static TProbeResult Fail(std::string key, std::string failureText = {}) {
        return {false, std::move(key), std::move(failureText)};
    }

    // The message as the connect page shows it: the key's translation, then a carriage return
    // and the failure's text when there is one.
    std::string Message() const;
};

// The checks that a new site's address and login work, in the order Validate runs them: read the
// address, reach the site, find where its XML-RPC service answers, ask the plug-in for its API
// version, and log in by asking for the backup profiles. No window: each check returns its
// outcome and reports which one runs through OnOperation; the new-site wizard and the command
// line show them. Nothing is stored and nothing is logged.
//
// Used by one thread at a time; every network check blocks it until the site has answered.
class TConnectionProbe {
public:
    // As typed by the user.
    std::string SiteName;
    std::string Address;
    std::string Username;
    std::string Password;
    // The HTTP proxy (the proxy dialog's values): empty, 0 and off until set.
    std::string ProxyServer;
    int32_t ProxyPort = 0;
    std::string ProxyUsername;
    std::string ProxyPassword;
    bool BasicAuthentication = false;

    // Results, for the new site's definition.
    bool UseSSL = false;
    std::string URL; // host and path, without scheme and port; CheckXMLRPC appends the endpoint
    int32_t Port = 0;
    bool InvalidProtocol = false;
    // The signature of the last server certificate seen by CheckConnect and CheckXMLRPC.
    std::string CertificateSignature;

    // Told the translation key of the operation line when a check begins, and an empty text when
    // the line is cleared. Runs on the probing thread.
    std::function<void(const std::string& operationKey)> OnOperation;

    // Runs every check in order, each only while all before it passed, and returns the first
    // failure or a pass. A blank site name fails before the address is read.
    TProbeResult Validate();

    TProbeResult ParseAddress();
    TProbeResult CheckConnect();
    TProbeResult CheckXMLRPC();
    TProbeResult CheckPlugin();
    TProbeResult CheckLogin();

    // The peer verification of CheckConnect and CheckXMLRPC: keeps the certificate's signature
    // and accepts every certificate.
    bool CaptureCertificate(const x509_st& certificate);

    // Where CheckConnect and CheckXMLRPC send their requests: the scheme, the host, the port
    // when the address named one (the scheme's standard port otherwise), and the path. Calls to
    // the site use the same port, so the checks reach the server the site's calls will reach.
    std::string BaseAddress() const;
    bool AddressNamesPort() const { return m_addressNamesPort; }

    long ConnectTimeoutSeconds = 10;
    // CheckXMLRPC has no connect limit of its own; this keeps an unanswering host from holding
    // the probe for minutes.
    long DiscoveryConnectTimeoutSeconds = 30;
    // Less than 1 byte/s for this long ends a request.
    long InactivitySeconds = 60;
    // A discovery reply larger than this is no XML-RPC answer.
    size_t MaxDiscoveryReplyBytes = size_t{4} << 20;

private:
    struct Reply {
        bool ok = false;
        std::string body;
        std::string failure;
    };
    Reply get(const std::string& address, long connectTimeout, bool keepBody);
    void operation(const std::string& key) const;

    bool m_addressNamesPort = false;
};

} // namespace tlv
