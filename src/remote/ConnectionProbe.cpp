#include "remote/ConnectionProbe.h"

#include "core/Convert.h"
#include "core/Text.h"
#include "remote/CertificateInfo.h"
#include "remote/CertificatePin.h"
#include "remote/CurlSupport.h"
#include "remote/XMLRPCConnector.h"
#include "storage/Translate.h"

#include <array>
#include <openssl/x509.h>
#include <string_view>

namespace tlv {

namespace {

// The probe's requests present themselves as the HTTP client the checks were first written
// against; some hosts answer unknown clients differently.
const char* const kProbeUserAgent = "Mozilla/3.0 (compatible; Indy Library)";

// Where a site's XML-RPC service may answer, relative to the address typed, in the order tried.
constexpr std::array<std::string_view, 4> kEndpointSuffixes = {
    "", "/xmlrpc/index.php", "/xmlrpc", "/index.php?option=com_keltro&act=xmlrpc&no_html=1"};

bool looksLikeXmlRpc(const std::string& reply) {
    return reply.starts_with("<?xml") && reply.find("</html>") == std::string::npos;
}

} // namespace

std::string TProbeResult::Message() const {
    std::string text = Translate(MessageKey);
    if (!FailureText.empty())
        text += "\r" + FailureText;
    return text;
}

void TConnectionProbe::operation(const std::string& key) const {
    if (OnOperation)
        OnOperation(key);
}

TProbeResult TConnectionProbe::Validate() {
    if (Trim(SiteName).empty())
        return TProbeResult::Fail("ERR_NS_NONAMEGIVEN");
    TProbeResult result = ParseAddress();
    if (InvalidProtocol)
        return result;
    for (auto check : {&TConnectionProbe::CheckConnect, &TConnectionProbe::CheckXMLRPC,
                       &TConnectionProbe::CheckPlugin, &TConnectionProbe::CheckLogin}) {
        result = (this->*check)();
        if (!result.Passed)
            break;
    }
    operation({});
    return result;
}

TProbeResult TConnectionProbe::ParseAddress() {
    InvalidProtocol = false;
    const std::string text = ToLowerAscii(Trim(Address));
    std::string rest;
    if (text.starts_with("http://")) {
        UseSSL = false;
        rest = text.substr(7);
    } else if (text.starts_with("https://")) {
        UseSSL = true;
        rest = text.substr(8);
    } else {
        InvalidProtocol = true;
        return TProbeResult::Fail("ERR_NS_INVALIDPROTOCOL");
    }
    if (rest.ends_with('/'))
        rest.pop_back();

    const size_t slash = rest.find('/');
    std::string host = rest.substr(0, slash);
    const std::string path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);

    // A bracketed IPv6 address holds colons of its own; its port follows the bracket.
    const size_t bracket = host.starts_with('[') ? host.find(']') : std::string::npos;
    const size_t colon = host.find(':', bracket == std::string::npos ? 0 : bracket);
    std::string portText = UseSSL ? "443" : "80";
    m_addressNamesPort = colon != std::string::npos;
    if (m_addressNamesPort) {
        portText = host.substr(colon + 1);
        host.resize(colon);
    }

    URL = path.empty() ? host : host + "/" + path;
    int port = 0;
    Port = TryStrToInt(portText, port) ? port : 80;
    return TProbeResult::Pass();
}

std::string TConnectionProbe::BaseAddress() const {
    return HttpAddress(UseSSL, URL, m_addressNamesPort ? Port : 0);
}

bool TConnectionProbe::CaptureCertificate(const X509& certificate) {
    CertificateSignature = CertificateSignatureText(&certificate);
    return true;
}

TConnectionProbe::Reply TConnectionProbe::get(const std::string& address, long connectTimeout,
                                              bool keepBody) {
    Reply reply;
    InitialiseCurl();
    CurlHandle curl;
    if (!curl.handle) {
        reply.failure = "cannot create a transfer";
        return reply;
    }
    TPeerCheck check([this](const X509& certificate) { return CaptureCertificate(certificate); });
    // Without a body to look at, the transfer stops at the reply's first byte.
    CurlReception reception;
    reception.limit = keepBody ? MaxDiscoveryReplyBytes : 0;
    char errorText[CURL_ERROR_SIZE] = {};

    CurlRequest request{
        .address = address,
        .userAgent = kProbeUserAgent,
        .connectTimeoutSeconds = connectTimeout,
        .inactivitySeconds = InactivitySeconds,
        .reception = &reception,
        .errorText = errorText,
        .proxy = {ProxyServer, ProxyPort, BasicAuthentication, ProxyUsername, ProxyPassword}};
    // Every certificate is accepted and its signature kept; redirects to HTTPS are seen too.
    request.VerifyPeerWith(check);
    if (const CURLcode set = ConfigureRequest(curl.handle, request); set != CURLE_OK) {
        reply.failure = curl_easy_strerror(set);
        return reply;
    }

    const CURLcode code = curl_easy_perform(curl.handle);
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && reception.overflow && !keepBody)) {
        reply.ok = true;
        reply.body = std::move(reception.body);
    } else if (reception.overflow) {
        reply.failure =
            "the reply is larger than " + std::to_string(MaxDiscoveryReplyBytes) + " bytes";
    } else {
        reply.failure = errorText[0] ? errorText : curl_easy_strerror(code);
    }
    return reply;
}

TProbeResult TConnectionProbe::CheckConnect() {
    operation("TXT_NS_OP_CHECKCONNECT");
    const Reply reply = get(BaseAddress(), ConnectTimeoutSeconds, false);
    operation({});
    if (!reply.ok)
        return TProbeResult::Fail("ERR_NS_OP_CHECKCONNECT", reply.failure);
    return TProbeResult::Pass();
}

TProbeResult TConnectionProbe::CheckXMLRPC() {
    operation("TXT_NS_OP_CHECKXMLRPC");
    const std::string base = BaseAddress();
    for (std::string_view suffix : kEndpointSuffixes) {
        const Reply reply = get(base + std::string(suffix), DiscoveryConnectTimeoutSeconds, true);
        if (reply.ok && looksLikeXmlRpc(reply.body)) {
            URL += suffix;
            operation({});
            return TProbeResult::Pass();
        }
    }
    operation({});
    return TProbeResult::Fail("ERR_NS_OP_CHECKXMLRPC");
}

namespace {
void loadConnector(TConnectorXMLRPC& connector, const TConnectionProbe& probe, bool login) {
    connector.URL = probe.URL;
    connector.Port = probe.Port;
    connector.UseSSL = probe.UseSSL;
    connector.ProxyServer = probe.ProxyServer;
    connector.ProxyPort = probe.ProxyPort;
    connector.ProxyUsername = probe.ProxyUsername;
    connector.ProxyPassword = probe.ProxyPassword;
    connector.BasicAuthentication = probe.BasicAuthentication;
    connector.CertificateSignature = probe.CertificateSignature;
    if (login) {
        connector.Username = probe.Username;
        connector.Password = probe.Password;
    }
}

// Whether one call to the site's service succeeds through the connector its backups will use.
bool callSucceeds(const TConnectionProbe& probe, bool login, void (TConnectorXMLRPC::*call)()) {
    try {
        TConnectorXMLRPC connector;
        loadConnector(connector, probe, login);
        (connector.*call)();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
} // namespace

TProbeResult TConnectionProbe::CheckPlugin() {
    operation("TXT_NS_OP_CHECKPLUGIN");
    if (callSucceeds(*this, false, &TConnectorXMLRPC::GetAPI))
        return TProbeResult::Pass();
    operation({});
    return TProbeResult::Fail("ERR_NS_OP_CHECKPLUGIN");
}

TProbeResult TConnectionProbe::CheckLogin() {
    operation("TXT_NS_OP_CHECKLOGIN");
    if (callSucceeds(*this, true, &TConnectorXMLRPC::GetProfiles))
        return TProbeResult::Pass();
    operation({});
    return TProbeResult::Fail("ERR_NS_OP_CHECKLOGIN");
}

} // namespace tlv
