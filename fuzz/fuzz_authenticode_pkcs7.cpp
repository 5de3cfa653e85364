// libFuzzer entry: an Authenticode signature's PKCS#7 SignedData over
// arbitrary bytes: decoding, the SpcIndirectDataContent, the signer and its
// certificate texts, the signer's own signature check and the timestamps
// (RFC 3161 tokens and Authenticode countersignatures). No trust store is
// involved.
#include <cstddef>
#include <cstdint>
#include <span>

#include <openssl/x509.h>

#include "db/authenticode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmark;
  const TAuthenticodeSignature signature = ParseAuthenticodeSignature(std::span<const std::uint8_t>(data, size));
  if (signature.EncodedLength > size) __builtin_trap();
  STACK_OF(X509)* certificates = signature.Certificates();
  for (int i = 0; certificates && i < sk_X509_num(certificates); ++i)
    (void)CertificateTexts(sk_X509_value(certificates, i));
  if (signature.Code == 0)
    (void)VerifySignerInfo(signature.SignerInfo, signature.SignerCertificate, signature.IndirectContent);
  for (const TTimestampCandidate& c : TimestampCandidates(signature))
    if (!c.Authority) __builtin_trap();
  return 0;
}
