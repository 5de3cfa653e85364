// libFuzzer entry: the certificate table over arbitrary bytes (the
// WIN_CERTIFICATE walk, the first entry's signature and what the signature
// leaves uncovered), and the same bytes as a PE file: locating the table
// from the headers, walking it and making the image digest in small pieces.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "db/authenticode.h"

namespace {

using namespace quillmark;

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

void CheckTable(const TCertificateTable& table) {
  Require(table.Entries.size() <= TCertificateTable::kMaxEntries);
  Require(table.BytesAfterEntries <= table.Size);
  if (table.Code != 0) return;
  const TAuthenticodeSignature signature = ParseAuthenticodeSignature(table.Signature());
  Require(signature.EncodedLength <= table.Signature().size());
  Require(table.UncoveredBytes(signature.EncodedLength) <= table.Size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  CheckTable(ParseCertificateTable(bytes));

  const TReadAt read = ReadFromBuffer(bytes);
  const TAuthenticodeLayout layout = LocateCertificateTable(read, size);
  if (layout.Code != 0) return 0;
  Require(layout.TableOffset + layout.TableSize <= size);
  std::uint64_t covered = layout.HashedBytes() + 4 + 8 + layout.TableSize;
  Require(covered == size);
  CheckTable(ReadCertificateTable(read, layout.TableOffset, layout.TableSize));
  std::vector<std::uint8_t> buffer(61), digest;
  Require(DigestRanges(read, layout.HashedRanges(), EVP_sha256(), buffer, digest));
  return 0;
}
