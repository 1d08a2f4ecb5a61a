#include "RemoteTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tlv::test {

namespace {
struct CertificateFolder {
    fs::path path;
    CertificateFolder() {
        std::string pattern = (fs::temp_directory_path() / "tolvane-certs-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~CertificateFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

const fs::path& certificateFolder() {
    static CertificateFolder folder;
    return folder.path;
}

std::string describeStruct(const TStruct& value) {
    std::string text = "struct{";
    for (int i = 0; i < value.Count(); ++i) {
        if (i > 0)
            text += ",";
        text += value.Item(i).Name + "=" + Describe(value.Item(i).Value);
    }
    return text + "}";
}

std::string describeArray(const TArray& value) {
    std::string text = "array[";
    for (int i = 0; i < value.Count(); ++i) {
        if (i > 0)
            text += ",";
        text += Describe(value.Item(i));
    }
    return text + "]";
}
} // namespace

const TestCertificate& SelfSignedCertificate() {
    static const TestCertificate certificate =
        MakeSelfSignedCertificate(certificateFolder() / "self-signed");
    return certificate;
}

const TestCertificate& ChainCertificate() {
    static const TestCertificate certificate = MakeCertificateChain(certificateFolder() / "chain");
    return certificate;
}

TKeltroSiteDefinition SiteFor(const XmlRpcPeer& peer, bool useSSL,
                              const std::string& certificateSignature) {
    TKeltroSiteDefinition site;
    site.SiteID = 7;
    site.SiteName = "Example";
    site.URL = "127.0.0.1" + XmlRpcPeer::Path();
    site.Port = peer.Port();
    site.UseSSL = useSSL;
    site.CertificateSignature = certificateSignature;
    site.Username = XmlRpcPeer::User();
    site.Password = XmlRpcPeer::Password();
    site.Profile = 1;
    return site;
}

std::string Describe(const TValue& value) {
    switch (value.Kind()) {
    case TValueKind::String:
        return "string:\"" + value.Text() + "\"";
    case TValueKind::Base64:
        return "base64:\"" + value.Text() + "\"";
    case TValueKind::Integer:
        return "int:" + std::to_string(value.Integer());
    case TValueKind::Boolean:
        return value.Boolean() ? "bool:true" : "bool:false";
    case TValueKind::Float: {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "double:%g", value.Float());
        return buffer;
    }
    case TValueKind::Date: {
        const auto p = value.Date().Decode();
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "date:%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month,
                      p.day, p.hour, p.minute, p.second);
        return buffer;
    }
    case TValueKind::Struct:
        return describeStruct(value.Struct());
    case TValueKind::Array:
        return describeArray(value.Array());
    case TValueKind::Error:
        break;
    }
    return "?";
}

std::string Describe(const TResult& result) {
    if (result.IsError())
        return "error " + std::to_string(result.ErrorCode()) + ":" + result.GetErrorString();
    if (!result.HasValue())
        return "none";
    return Describe(result.Value());
}

std::string Response(const std::string& value) {
    return "<?xml version=\"1.0\"?>\n<methodResponse><params><param>" + value +
           "</param></params></methodResponse>\n";
}

} // namespace tlv::test
