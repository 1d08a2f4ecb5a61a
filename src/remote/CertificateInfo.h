#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct ssl_ctx_st;
struct x509_st;
struct x509_store_ctx_st;

namespace tlv {

// What the user is shown of a server certificate before trusting it.
struct TCertificateInfo {
    std::string Signature;    // the signature text that sites store (CertificateSignatureText)
    std::string Fingerprint;  // MD5 of the certificate, lowercase hex pairs joined by ":"
    std::string Subject;      // one-line form: "/C=DE/O=Example/CN=www.example.com"
    std::string Issuer;       // the same form
    std::string SerialNumber; // the serial number's bytes, lowercase hex pairs joined by ":"
};

// Any thread.
TCertificateInfo ReadCertificateInfo(const x509_st* certificate);

// Lowercase hex pairs joined by ":", the form of every certificate value above.
std::string HexPairs(const unsigned char* bytes, size_t count);

// Decides alone whether a TLS server is trusted, in place of the library's verification: the
// check is asked about the server's own certificate (the one a pin compares), and the other
// certificates of the chain pass. It may be asked more than once about the same certificate
// during one handshake. Lives as long as the TLS context it is installed on; used by the thread
// that runs the transfer.
class TPeerCheck {
public:
    explicit TPeerCheck(std::function<bool(const x509_st& certificate)> check)
        : m_check(std::move(check)) {}

    // Makes the context verify the peer with this check.
    void Install(ssl_ctx_st* context);

    // Whether the check turned a certificate down.
    bool Refused() const { return m_refused; }

private:
    static int verify(int preverified, x509_store_ctx_st* store);

    std::function<bool(const x509_st&)> m_check;
    bool m_refused = false;
};

// Fetches a site's HTTPS certificate and lets the user trust it: one GET of the site's address
// whose handshake asks OnVerify about every server certificate whose signature is not the one
// already accepted. The signature of the certificate accepted last is kept in
// CertificateSignature. Blocks the calling thread (any one thread) until the server answered.
class TCertificateRequest {
public:
    // The site's address: host and path as the site stores them (without scheme and port), and
    // the port the site's calls use.
    std::string URL;
    int32_t Port = 443;
    std::string ProxyServer; // empty: no proxy
    int32_t ProxyPort = 0;
    std::string ProxyUsername;
    std::string ProxyPassword;
    bool BasicAuthentication = false;

    // Asked about a certificate; true trusts it. Without it nothing is trusted.
    std::function<bool(const TCertificateInfo& certificate)> OnVerify;

    // Emptied when Execute begins; the signature of the certificate trusted last.
    std::string CertificateSignature;

    // The address requested: "https://" + host + ":" + port + path.
    std::string Address() const;

    // Runs the request. Raises EKTLayerException when it fails (a certificate turned down, no
    // connection, an HTTP error status); a signature trusted before the failure stays kept.
    void Execute();

    long ConnectTimeoutSeconds = 30;
    long InactivitySeconds = 60;
};

} // namespace tlv
