#pragma once

#include <filesystem>
#include <string>

namespace tlv::test {

// Certificates for the TLS peers of the tests, made with the openssl tool at test time.
struct TestCertificate {
    std::string CertFile; // what the server presents: the leaf, then the CA for a chain
    std::string KeyFile;
    std::string LeafFile;
    std::string CaFile; // empty for a self-signed certificate
};

// A self-signed RSA certificate for CN=127.0.0.1, valid for a day.
TestCertificate MakeSelfSignedCertificate(const std::filesystem::path& folder);

// A test CA and a leaf for CN=127.0.0.1 signed by it.
TestCertificate MakeCertificateChain(const std::filesystem::path& folder);

// The signature value of a PEM certificate as the openssl tool prints it: lowercase hex pairs
// joined by ":" (an independent reading to compare the program's own against).
std::string OpenSslSignatureText(const std::string& pemFile);

} // namespace tlv::test
