#pragma once

#include "common/TestCertificates.h"
#include "common/XmlRpcPeer.h"
#include "remote/XmlRpcValue.h"
#include "sites/KeltroTypes.h"

#include <string>
#include <vector>

namespace tlv::test {

// Certificates made once for the whole test program (key generation is slow), in a folder that
// goes when the program ends.
const TestCertificate& SelfSignedCertificate();
const TestCertificate& ChainCertificate();

// A site definition that reaches `peer` with the server's default credentials.
TKeltroSiteDefinition SiteFor(const XmlRpcPeer& peer, bool useSSL = false,
                              const std::string& certificateSignature = {});

// A compact, exact text of a decoded result for table comparisons:
//   string:"text"  int:5  double:1.5  bool:true  date:2024-03-01 10:15:00  base64:"..."
//   struct{name=value,...}  array[value,...]  error 4:message  none
std::string Describe(const TResult& result);
std::string Describe(const TValue& value);

// Wraps a <value> in a methodResponse document.
std::string Response(const std::string& value);

} // namespace tlv::test
