#include "remote/CertificatePin.h"

#include <openssl/x509.h>

namespace tlv {

std::string CertificateSignatureText(const X509* certificate) {
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, certificate);
    if (!signature)
        return {};
    return HexPairs(ASN1_STRING_get0_data(signature),
                    static_cast<size_t>(ASN1_STRING_length(signature)));
}

TCertificatePin::TCertificatePin(std::string pin)
    : m_pin(std::move(pin)), m_check([this](const X509& certificate) {
          m_presented = CertificateSignatureText(&certificate);
          m_rejected = !Accepts(m_presented);
          return !m_rejected;
      }) {}

} // namespace tlv
