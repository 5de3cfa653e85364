// Cost of an Authenticode check of a signed 20 MiB PE file, beside the cost
// of one SHA-256 pass over the same file (both open the file through the live
// host and read it with positioned reads into a buffer of the checker's
// size). The check should stay within 1.5 times the plain pass. And the cost
// of a check of the same file padded after its certificate table with an
// 8 GiB hole, which must not be hashed.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/file_trust.h"
#include "runtime/target_system.h"

using namespace quillmark;

namespace {

constexpr std::size_t kCodeSize = 20u << 20;

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }

// A PE32 image with one 20 MiB code section of varied bytes.
std::vector<std::uint8_t> LargeImage() {
  const std::size_t headers = 0x400;
  std::vector<std::uint8_t> b(headers + kCodeSize, 0);
  b[0] = 'M', b[1] = 'Z';
  Put32(b, 60, 0x80);
  Put32(b, 0x80, 0x00004550);
  const std::size_t fh = 0x84, oh = fh + 20;
  Put16(b, fh, 0x014C);
  Put16(b, fh + 2, 1);
  Put16(b, fh + 16, 224);
  Put16(b, fh + 18, 0x0102);
  Put16(b, oh, 0x10B);
  Put32(b, oh + 4, static_cast<std::uint32_t>(kCodeSize));
  Put32(b, oh + 16, 0x1000);             // entry point
  Put32(b, oh + 20, 0x1000);             // base of code
  Put32(b, oh + 28, 0x400000);           // image base
  Put32(b, oh + 32, 0x1000);             // section alignment
  Put32(b, oh + 36, 0x200);              // file alignment
  Put16(b, oh + 40, 6);                  // OS version
  Put16(b, oh + 48, 6);                  // subsystem version
  Put32(b, oh + 56, static_cast<std::uint32_t>(0x1000 + kCodeSize));  // size of image
  Put32(b, oh + 60, headers);
  Put16(b, oh + 68, 2);                  // GUI
  Put32(b, oh + 92, 16);                 // NumberOfRvaAndSizes
  const std::size_t sh = oh + 224;
  std::memcpy(&b[sh], ".text", 5);
  Put32(b, sh + 8, static_cast<std::uint32_t>(kCodeSize));
  Put32(b, sh + 12, 0x1000);
  Put32(b, sh + 16, static_cast<std::uint32_t>(kCodeSize));
  Put32(b, sh + 20, headers);
  Put32(b, sh + 36, 0x60000020);
  std::uint32_t x = 0x12345678;
  for (std::size_t i = headers; i < b.size(); ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

int Run(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) _exit(126);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct TFixture {
  std::filesystem::path Dir;
  std::string Signed;
  std::string Sparse;  // Signed, grown by an 8 GiB hole
  std::shared_ptr<TTrustStore> Store;

  TFixture() {
    Dir = std::filesystem::temp_directory_path() / ("qm-bench-trust-" + std::to_string(getpid()));
    std::filesystem::create_directories(Dir);
    std::string cert = (Dir / "cert.pem").string(), key = (Dir / "key.pem").string();
    std::string in = (Dir / "large.exe").string();
    Signed = (Dir / "large-signed.exe").string();
    if (Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "30",
             "-subj", "/O=Quillmark Bench/CN=Quillmark Bench Publisher", "-addext",
             "extendedKeyUsage=codeSigning"}) != 0)
      throw std::runtime_error("openssl req failed");
    auto image = LargeImage();
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                               static_cast<std::streamsize>(image.size()));
    if (Run({"osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", "-in", in, "-out", Signed}) != 0)
      throw std::runtime_error("osslsigncode failed");
    Store = std::make_shared<TTrustStore>();
    Store->AddCAFile(cert);
    Sparse = (Dir / "large-signed-sparse.exe").string();
    std::filesystem::copy_file(Signed, Sparse);
    std::filesystem::resize_file(Sparse, std::filesystem::file_size(Signed) + (std::uintmax_t{8} << 30));
  }
  ~TFixture() {
    std::error_code ec;
    std::filesystem::remove_all(Dir, ec);
  }
};

TFixture& Fixture() {
  static TFixture f;
  return f;
}

void BM_Sha256Pass20MiB(benchmark::State& state) {
  auto host = runtime::LiveHost();
  const std::string file = Fixture().Signed;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  std::uint64_t size = 0;
  std::vector<std::uint8_t> buffer(TFileTrust::kReadBufferSize);
  for (auto _ : state) {
    auto f = host->OpenFileForRead(file);
    size = f->Size();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    for (std::uint64_t at = 0; at < size;) {
      std::size_t n = f->ReadAt(at, buffer.data(), buffer.size());
      if (n == 0) break;
      EVP_DigestUpdate(ctx, buffer.data(), n);
      at += n;
    }
    EVP_DigestFinal_ex(ctx, digest, &len);
    EVP_MD_CTX_free(ctx);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_Sha256Pass20MiB)->Unit(benchmark::kMillisecond);

void BM_FileTrustCheck20MiB(benchmark::State& state) {
  TFileTrust trust(runtime::LiveHost(), Fixture().Store);
  const std::string file = Fixture().Signed;
  if (!trust.Check(file, true) || trust.ErrorCode() != 0) {
    state.SkipWithError("the signed fixture does not verify");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(trust.Check(file, true));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * std::filesystem::file_size(file)));
}
BENCHMARK(BM_FileTrustCheck20MiB)->Unit(benchmark::kMillisecond);

void BM_FileTrustCheckSparse8GiB(benchmark::State& state) {
  TFileTrust trust(runtime::LiveHost(), Fixture().Store);
  const std::string file = Fixture().Sparse;
  for (auto _ : state) benchmark::DoNotOptimize(trust.Check(file, true));
  state.SetLabel(TrustResultName(trust.ErrorCode()));
}
BENCHMARK(BM_FileTrustCheckSparse8GiB)->Unit(benchmark::kMillisecond);

}  // namespace
