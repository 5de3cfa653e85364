#include "engine/content_digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "support/analyzed_file.h"

namespace quillmark {

namespace {

constexpr std::size_t kChunk = 1 << 20;

class TSha256 {
 public:
  TSha256() : FContext(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
    if (!FContext || EVP_DigestInit_ex(FContext.get(), EVP_sha256(), nullptr) != 1)
      throw std::runtime_error("SHA-256 is not available");
  }
  void Update(const void* data, std::size_t size) {
    if (size && EVP_DigestUpdate(FContext.get(), data, size) != 1) throw std::runtime_error("SHA-256 failed");
  }
  std::string HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(FContext.get(), digest, &length) != 1) throw std::runtime_error("SHA-256 failed");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
      hex += kHex[digest[i] >> 4];
      hex += kHex[digest[i] & 0xF];
    }
    return hex;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> FContext;
};

}  // namespace

std::string Sha256OfFile(const TAnalyzedFile& AFile, const std::atomic<bool>& ACancel) {
  TSha256 sha;
  std::vector<unsigned char> buffer(kChunk);
  const std::uint64_t size = AFile.Size();
  const std::uint64_t dataEnd = std::min(size, AFile.File().DataEnd());
  std::uint64_t offset = 0;
  while (offset < dataEnd) {
    if (ACancel.load()) return {};
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, dataEnd - offset));
    const std::size_t got = AFile.ReadAt(offset, buffer.data(), want);
    if (got == 0) return {};  // ended before its size: not the bytes analysed
    sha.Update(buffer.data(), got);
    offset += got;
  }
  if (offset < size) {
    std::fill(buffer.begin(), buffer.end(), 0);
    while (offset < size) {
      if (ACancel.load()) return {};
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - offset));
      sha.Update(buffer.data(), n);
      offset += n;
    }
  }
  return sha.HexDigest();
}

std::string Sha256OfMemory(const void* AMemory, std::size_t ASize) {
  TSha256 sha;
  sha.Update(AMemory, ASize);
  return sha.HexDigest();
}

}  // namespace quillmark
