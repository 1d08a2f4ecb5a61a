#pragma once

#include "remote/CertificateInfo.h"

#include <string>

namespace tlv {

// The certificate signature text that sites store and the call layer compares: the signature
// value of a certificate as two lowercase hexadecimal digits per byte, joined by ":".
// Any thread.
std::string CertificateSignatureText(const x509_st* certificate);

// Accepts a TLS server exactly when the signature text of its own (leaf) certificate equals the
// pinned text, case-sensitively; the library's own verdict on the chain is ignored and the
// chain's other certificates are not compared. An empty pin rejects every certificate.
// Used by the thread that runs the exchange; lives as long as the TLS context it is installed on.
class TCertificatePin {
public:
    explicit TCertificatePin(std::string pin);
    TCertificatePin(const TCertificatePin&) = delete;
    TCertificatePin& operator=(const TCertificatePin&) = delete;

    // Makes the context verify the peer with this check.
    void Install(ssl_ctx_st* context) { m_check.Install(context); }

    // Whether a certificate was presented and turned down, and its signature text, so that a
    // failed handshake can be told apart from other failures.
    bool Rejected() const { return m_rejected; }
    const std::string& PresentedSignature() const { return m_presented; }
    const std::string& Pin() const { return m_pin; }

    // The check itself, for the leaf certificate's signature text.
    bool Accepts(const std::string& signature) const {
        return !m_pin.empty() && signature == m_pin;
    }

private:
    std::string m_pin;
    std::string m_presented;
    bool m_rejected = false;
    TPeerCheck m_check; // last: its check uses the members above
};

} // namespace tlv
