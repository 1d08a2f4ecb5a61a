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

CURLcode ApplyHttpProxy(CURL* handle, const std::string& server, int32_t port,
                        bool basicAuthentication, const std::string& user,
                        const std::string& password) {
    CURLcode set = CURLE_OK;
    auto option = [&](CURLoption name, auto value) {
        if (set == CURLE_OK)
            set = curl_easy_setopt(handle, name, value);
    };
    option(CURLOPT_PROXY, server.c_str());
    option(CURLOPT_NOPROXY, "");
    if (!server.empty()) {
        option(CURLOPT_PROXYPORT, static_cast<long>(port));
        option(CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        if (basicAuthentication) {
            option(CURLOPT_PROXYUSERNAME, user.c_str());
            option(CURLOPT_PROXYPASSWORD, password.c_str());
            option(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        }
    }
    return set;
}

} // namespace tlv
