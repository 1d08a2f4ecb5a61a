#include "remote/CertificateInfo.h"

#include "remote/CertificatePin.h"
#include "remote/CurlSupport.h"
#include "sites/KeltroTypes.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace tlv {

namespace {

// Where a context keeps its check; allocated once for the process.
int checkIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::string oneLine(const X509_NAME* name) {
    if (!name)
        return {};
    char* text = X509_NAME_oneline(name, nullptr, 0);
    if (!text)
        return {};
    std::string result(text);
    OPENSSL_free(text);
    return result;
}

} // namespace

std::string HexPairs(const unsigned char* bytes, size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += ':';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

TCertificateInfo ReadCertificateInfo(const X509* certificate) {
    TCertificateInfo info;
    if (!certificate)
        return info;
    info.Signature = CertificateSignatureText(certificate);
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_md5(), md5, &length) == 1)
        info.Fingerprint = HexPairs(md5, length);
    info.Subject = oneLine(X509_get_subject_name(certificate));
    info.Issuer = oneLine(X509_get_issuer_name(certificate));
    if (const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate))
        info.SerialNumber = HexPairs(ASN1_STRING_get0_data(serial),
                                     static_cast<size_t>(ASN1_STRING_length(serial)));
    return info;
}

void TPeerCheck::Install(SSL_CTX* context) {
    SSL_CTX_set_ex_data(context, checkIndex(), this);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &TPeerCheck::verify);
}

int TPeerCheck::verify(int, X509_STORE_CTX* store) {
    if (X509_STORE_CTX_get_error_depth(store) != 0)
        return 1;
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self =
        ssl ? static_cast<TPeerCheck*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), checkIndex()))
            : nullptr;
    const X509* certificate = X509_STORE_CTX_get_current_cert(store);
    if (!self || !certificate)
        return 0;
    bool accepted = false;
    try {
        accepted = self->m_check(*certificate);
    } catch (...) {
        // An exception must not unwind through the TLS library; a check that fails refuses.
        accepted = false;
    }
    self->m_refused = self->m_refused || !accepted;
    return accepted ? 1 : 0;
}

std::string TCertificateRequest::Address() const {
    return HttpAddress(true, URL, Port);
}

void TCertificateRequest::Execute() {
    CertificateSignature.clear();
    InitialiseCurl();
    CurlHandle curl;
    if (!curl.handle)
        throw EKTLayerException("HTTP request failed: cannot create a transfer");
    TPeerCheck check([this](const X509& certificate) {
        const std::string signature = CertificateSignatureText(&certificate);
        // Asked once per certificate: the same one again (another verification pass, a
        // redirect to the same server) is already trusted.
        if (!signature.empty() && signature == CertificateSignature)
            return true;
        const bool trusted = OnVerify && OnVerify(ReadCertificateInfo(&certificate));
        CertificateSignature = trusted ? signature : std::string();
        return trusted;
    });
    char errorText[CURL_ERROR_SIZE] = {};
    // The reply is not used: the transfer stops at its first byte, which is no failure.
    CurlReception reception;
    CurlRequest request{
        .address = Address(),
        .protocols = "https",
        .connectTimeoutSeconds = ConnectTimeoutSeconds,
        .inactivitySeconds = InactivitySeconds,
        .reception = &reception,
        .errorText = errorText,
        .proxy = {ProxyServer, ProxyPort, BasicAuthentication, ProxyUsername, ProxyPassword}};
    request.VerifyPeerWith(check);
    if (const CURLcode set = ConfigureRequest(curl.handle, request); set != CURLE_OK)
        throw EKTLayerException(std::string("HTTP request failed: ") + curl_easy_strerror(set));

    const CURLcode code = curl_easy_perform(curl.handle);
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && reception.overflow))
        return;
    if (check.Refused())
        throw EKTLayerException("The server's SSL certificate was not trusted.");
    throw EKTLayerException(std::string("HTTP request failed: ") +
                            (errorText[0] ? errorText : curl_easy_strerror(code)));
}

} // namespace tlv
