#include "remote/XmlRpcCall.h"

#include "core/Text.h"
#include "remote/CertificatePin.h"
#include "remote/CurlSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <memory>

namespace tlv {

namespace {

const char* const kUserAgent =
    "Mozilla/5.0 (Windows; U; Windows NT 6.1; en; rv:1.9.1.7) Gecko/20091221 Firefox/3.5.7 GTB6";

bool debugChannelOn() {
    static const bool on = [] {
        const char* value = std::getenv("TOLVANE_DEBUG_XMLRPC");
        return value && *value && std::string_view(value) != "0";
    }();
    return on;
}

void replaceAllNoCase(std::string& text, std::string_view from, std::string_view to) {
    auto same = [](char a, char b) { return EqualsNoCase(std::string_view(&a, 1), {&b, 1}); };
    auto it = std::search(text.begin(), text.end(), from.begin(), from.end(), same);
    if (it == text.end())
        return;
    std::string result;
    result.reserve(text.size());
    auto copied = text.begin();
    while (it != text.end()) {
        result.append(copied, it);
        result.append(to);
        copied = it + static_cast<std::ptrdiff_t>(from.size());
        it = std::search(copied, text.end(), from.begin(), from.end(), same);
    }
    result.append(copied, text.end());
    text = std::move(result);
}

} // namespace

std::string FixUpEmptyValues(std::string_view reply) {
    static constexpr std::string_view fragments[] = {
        "<string></string>",      "<string></nil></string>", "<string></null></string>",
        "<string> </string>",     "<value></value>",         "<value></nil></value>",
        "<value></null></value>", "<value> </value>"};
    std::string text(reply);
    for (std::string_view fragment : fragments)
        replaceAllNoCase(text, fragment, "<string>[NULL]</string>");
    return text;
}

std::string TCaller::Address() const {
    if (UseSSL)
        return "https://" + Host + ":" + std::to_string(Port) + Path;
    if (Port == 80)
        return "http://" + Host + Path;
    return "http://" + Host + ":" + std::to_string(Port) + Path;
}

std::string TCaller::mask(std::string_view text) const {
    std::string masked(text);
    for (const std::string* secret : {&LogMaskUser, &LogMaskPassword}) {
        if (Trim(*secret).empty())
            continue;
        // In a request the credentials travel escaped for XML; mask that form as well, or a
        // password with "&" or "<" in it would reach the log.
        const std::string escaped = EscapeXml(*secret);
        if (escaped != *secret && masked.find(escaped) != std::string::npos)
            masked = ReplaceAll(masked, escaped, "****");
        if (masked.find(*secret) != std::string::npos)
            masked = ReplaceAll(masked, *secret, "****");
    }
    return masked;
}

void TCaller::log(const std::string& line) const {
    if (OnLog)
        OnLog(line);
}

TResult TCaller::Call(TFunction& function) {
    const std::string document = function.Document();
    log("POST: " + mask(document));
    Exchange reply = exchange(document);
    if (!reply.ok)
        log(mask("Oops! " + reply.failure));
    m_decoded = false;
    TResult result = ProcessReply(reply.ok ? std::move(reply.body) : std::string());
    if (m_decoded)
        function.Clear();
    return result;
}

TResult TCaller::ProcessReply(std::string reply) {
    m_decoded = false;
    if (m_fixEmptyValues)
        reply = FixUpEmptyValues(reply);
    if (debugChannelOn()) {
        std::string line = "[xmlrpc] " + reply + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    if (OnLog) // a reply of megabytes is not copied for nobody
        log("GOT:  " + mask(reply));
    if (Trim(reply).empty()) {
        log("Oops! Got zero-length XML-RPC response from the server.");
        return TResult::Error(kXmlRpcEmptyReply, "The xml-rpc server returned a empty response");
    }
    if (reply.find("xml") == std::string::npos) {
        log("Oops! Got invalid XML-RPC reponse from the server.");
        log("GOT:  " + mask(reply));
        return TResult::Error(kXmlRpcInvalidPayload,
                              "Invalid payload received from xml-rpc server");
    }
    std::string_view payload = Trim(reply);
    // Servers print warnings ahead of the document; the declaration marks where it starts.
    const size_t declaration = payload.find("<?xml");
    if (declaration != std::string_view::npos && declaration > 0)
        payload.remove_prefix(declaration);
    TResult result = Decode(payload);
    m_decoded = true;
    return result;
}

TCaller::Exchange TCaller::exchange(const std::string& document) const {
    InitialiseCurl();
    Exchange outcome;
    CurlHandle curl;
    if (!curl.handle) {
        outcome.failure = "HTTP request failed: cannot create a transfer";
        return outcome;
    }
    CurlReception reception;
    reception.limit = MaxReplyBytes;
    TCertificatePin pin(CertificateSignature);
    char errorText[CURL_ERROR_SIZE] = {};

    // A redirect keeps the scheme: never from HTTPS down to plain text, where the site's
    // credentials would travel readable.
    const char* scheme = UseSSL ? "https" : "http";
    for (const char* header : {"Accept: */*", "Content-Type: text/xml",
                               "Accept-Charset: UTF-8,ISO-8859-1,US-ASCII", "Expect:"})
        curl.headers = curl_slist_append(curl.headers, header);
    CurlRequest request{
        .address = Address(),
        .protocols = scheme,
        .postBody = &document,
        .headers = curl.headers,
        .userAgent = kUserAgent,
        .connectTimeoutSeconds = ConnectTimeoutSeconds,
        .inactivitySeconds = InactivitySeconds,
        .reception = &reception,
        .errorText = errorText,
        .proxy = {ProxyServer, ProxyPort, BasicAuthentication, ProxyUsername, ProxyPassword}};
    // The pin replaces the library's verification; host names are not checked either.
    if (UseSSL)
        request.VerifyPeerWith(pin);
    if (const CURLcode set = ConfigureRequest(curl.handle, request); set != CURLE_OK) {
        outcome.failure = std::string("HTTP request failed: ") + curl_easy_strerror(set);
        return outcome;
    }

    const CURLcode code = curl_easy_perform(curl.handle);
    if (code == CURLE_OK) {
        outcome.ok = true;
        outcome.body = std::move(reception.body);
    } else if (pin.Rejected()) {
        outcome.failure = pin.Pin().empty()
                              ? "The server's SSL certificate was rejected: no certificate "
                                "signature is stored for this site."
                              : "The server's SSL certificate was rejected: its signature does "
                                "not match the certificate signature stored for this site.";
    } else if (reception.overflow) {
        const bool wholeMiB = MaxReplyBytes % (size_t{1} << 20) == 0;
        outcome.failure = "The server's reply is larger than " +
                          (wholeMiB ? std::to_string(MaxReplyBytes >> 20) + " MiB"
                                    : std::to_string(MaxReplyBytes) + " bytes") +
                          "; transfer aborted.";
    } else {
        outcome.failure = std::string("HTTP request failed: ") +
                          (errorText[0] ? errorText : curl_easy_strerror(code));
    }
    return outcome;
}

} // namespace tlv
