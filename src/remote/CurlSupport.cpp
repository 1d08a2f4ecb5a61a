#include "remote/CurlSupport.h"

namespace tlv {

void InitialiseCurl() {
    // Thread-safe by the rules of static initialisation.
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)code;
}

size_t ReceiveIntoReception(char* data, size_t size, size_t count, void* user) {
    auto& reception = *static_cast<CurlReception*>(user);
    const size_t bytes = size * count;
    if (bytes > reception.limit - reception.body.size()) {
        reception.overflow = true;
        return 0; // ends the transfer with a write error
    }
    reception.body.append(data, bytes);
    return bytes;
}

std::string HttpAddress(bool useSSL, const std::string& url, int32_t port) {
    const size_t slash = url.find('/');
    std::string address = useSSL ? "https://" : "http://";
    address += url.substr(0, slash);
    if (port > 0)
        address += ":" + std::to_string(port);
    if (slash != std::string::npos)
        address += url.substr(slash);
    return address;
}

CURLcode ConfigureRequest(CURL* handle, const CurlRequest& request) {
    CURLcode set = CURLE_OK;
    auto option = [&](CURLoption name, auto value) {
        if (set == CURLE_OK)
            set = curl_easy_setopt(handle, name, value);
    };
    option(CURLOPT_URL, request.address.c_str());
    option(CURLOPT_PROTOCOLS_STR, request.protocols);
    option(CURLOPT_REDIR_PROTOCOLS_STR, request.protocols);
    option(CURLOPT_NOSIGNAL, 1L);
    option(CURLOPT_ERRORBUFFER, request.errorText);
    option(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    if (request.postBody) {
        option(CURLOPT_POST, 1L);
        option(CURLOPT_POSTFIELDS, request.postBody->data());
        option(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.postBody->size()));
        option(CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    } else {
        option(CURLOPT_HTTPGET, 1L);
    }
    if (request.headers)
        option(CURLOPT_HTTPHEADER, request.headers);
    if (request.userAgent)
        option(CURLOPT_USERAGENT, request.userAgent);
    option(CURLOPT_FOLLOWLOCATION, 1L);
    option(CURLOPT_MAXREDIRS, 10L);
    option(CURLOPT_FAILONERROR, 1L);
    option(CURLOPT_CONNECTTIMEOUT, request.connectTimeoutSeconds);
    option(CURLOPT_LOW_SPEED_LIMIT, 1L);
    option(CURLOPT_LOW_SPEED_TIME, request.inactivitySeconds);
    option(CURLOPT_WRITEFUNCTION, &ReceiveIntoReception);
    option(CURLOPT_WRITEDATA, request.reception);
    if (request.sslContext) {
        option(CURLOPT_SSL_VERIFYPEER, 0L);
        option(CURLOPT_SSL_VERIFYHOST, 0L);
        // A resumed session would skip the check.
        option(CURLOPT_SSL_SESSIONID_CACHE, 0L);
        option(CURLOPT_SSL_CTX_FUNCTION, request.sslContext);
        option(CURLOPT_SSL_CTX_DATA, request.sslContextData);
    }
    option(CURLOPT_PROXY, request.proxy.server.c_str());
    option(CURLOPT_NOPROXY, "");
    if (!request.proxy.server.empty()) {
        option(CURLOPT_PROXYPORT, static_cast<long>(request.proxy.port));
        option(CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        if (request.proxy.basicAuthentication) {
            option(CURLOPT_PROXYUSERNAME, request.proxy.username.c_str());
            option(CURLOPT_PROXYPASSWORD, request.proxy.password.c_str());
            option(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        }
    }
    return set;
}

} // namespace tlv
