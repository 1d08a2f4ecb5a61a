#include "remote/CertificatePin.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace tlv {

namespace {
// Where a context keeps its pin; allocated once for the process.
int pinIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}
} // namespace

std::string CertificateSignatureText(const X509* certificate) {
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, certificate);
    if (!signature)
        return {};
    const unsigned char* bytes = ASN1_STRING_get0_data(signature);
    const int length = ASN1_STRING_length(signature);
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(static_cast<size_t>(length) * 3);
    for (int i = 0; i < length; ++i) {
        if (i > 0)
            text += ':';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

void TCertificatePin::Install(SSL_CTX* context) {
    SSL_CTX_set_ex_data(context, pinIndex(), this);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &TCertificatePin::verify);
}

int TCertificatePin::verify(int, X509_STORE_CTX* store) {
    // Intermediate and root certificates pass whatever the library thinks of them: the pin
    // alone decides, and it is the server's own certificate.
    if (X509_STORE_CTX_get_error_depth(store) != 0)
        return 1;
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* pin =
        ssl ? static_cast<TCertificatePin*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), pinIndex()))
            : nullptr;
    if (!pin)
        return 0;
    pin->m_presented = CertificateSignatureText(X509_STORE_CTX_get_current_cert(store));
    pin->m_rejected = !pin->Accepts(pin->m_presented);
    return pin->m_rejected ? 0 : 1;
}

} // namespace tlv
