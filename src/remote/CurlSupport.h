#pragma once

#include <cstddef>
#include <cstdint>
#include <curl/curl.h>
#include <string>

struct ssl_ctx_st;

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

// What differs between our requests; ConfigureRequest sets everything else alike for all.
struct CurlRequest {
    std::string address;
    const char* protocols = "http,https"; // allowed schemes, for redirects as well
    // Null: a GET. A POST stays one after redirects; turned into a GET it would reach nothing.
    const std::string* postBody = nullptr;
    curl_slist* headers = nullptr;   // null: the library's own
    const char* userAgent = nullptr; // null: none sent
    long connectTimeoutSeconds = 0;
    long inactivitySeconds = 0; // less than 1 byte/s for this long ends the transfer
    CurlReception* reception = nullptr;
    char* errorText = nullptr; // CURL_ERROR_SIZE bytes
    // Set by VerifyPeerWith; without it the library's own TLS defaults apply.
    curl_ssl_ctx_callback sslContext = nullptr;
    void* sslContextData = nullptr;
    // The site's HTTP proxy, none when its server is empty. Proxies named by the environment
    // are never used: the site's setting alone decides.
    struct Proxy {
        std::string server;
        int32_t port = 0;
        bool basicAuthentication = false;
        std::string username;
        std::string password;
    } proxy;

    // Lets `check` (anything with Install(ssl_ctx_st*)) decide alone whether the server is
    // trusted, in place of the library's verification of chain and host name. `check` must
    // outlive the transfer.
    template <class Check> void VerifyPeerWith(Check& check) {
        sslContext = [](CURL*, void* context, void* data) -> CURLcode {
            static_cast<Check*>(data)->Install(static_cast<ssl_ctx_st*>(context));
            return CURLE_OK;
        };
        sslContextData = &check;
    }
};

// Applies `request` to `handle`. Returns the first failing setting's code; a transfer must not
// go ahead without every setting, least of all without its peer check. The buffers, body,
// headers and check that `request` points to must outlive the transfer.
CURLcode ConfigureRequest(CURL* handle, const CurlRequest& request);

} // namespace tlv
