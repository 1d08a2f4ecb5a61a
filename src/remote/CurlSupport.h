#pragma once

#include <cstddef>
#include <cstdint>
#include <curl/curl.h>
#include <string>

namespace tlv {

// libcurl pieces shared by the XML-RPC calls, the connection probe and the certificate request.
// Any thread; a transfer belongs to the thread that made it.

// Initialises libcurl once for the process; never cleaned up, as workers may run until the end.
void InitialiseCurl();

// One easy handle and its request header list, released together.
struct CurlHandle {
    CURL* handle = curl_easy_init();
    curl_slist* headers = nullptr;

    CurlHandle() = default;
    ~CurlHandle() {
        curl_easy_cleanup(handle);
        curl_slist_free_all(headers);
    }
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
};

// A reply body collected up to `limit` bytes. Beyond it the transfer ends with a write error
// and `overflow` is set, so no server can make us hold more than we chose to.
struct CurlReception {
    std::string body;
    size_t limit = 0;
    bool overflow = false;
};

// CURLOPT_WRITEFUNCTION for a CurlReception passed as CURLOPT_WRITEDATA.
size_t ReceiveIntoReception(char* data, size_t size, size_t count, void* reception);

// "http://" or "https://", the host of `url` (a site's host and path, without scheme and port),
// ":" and `port` when it is above 0, then the path of `url`.
std::string HttpAddress(bool useSSL, const std::string& url, int32_t port);

// Routes the transfer through the site's HTTP proxy, or through none when `server` is empty.
// Proxies named by the environment are never used: the site's setting alone decides. Returns
// the first failing setting's code. The texts must outlive the transfer.
CURLcode ApplyHttpProxy(CURL* handle, const std::string& server, int32_t port,
                        bool basicAuthentication, const std::string& user,
                        const std::string& password);

} // namespace tlv
