// libFuzzer entry: the input is a knowledge database. It is written to a
// file and opened through the readers' own open path (immutable, read-only,
// work-limited), then every reader runs its queries on it: threat names,
// black/white lists, the system-file catalogue and the harmony scheme, and
// the host's check of the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/black_white_lists.h"
#include "db/file_details.h"
#include "db/harmony_strings.h"
#include "engine/threats_info.h"

namespace {

using namespace quillmark;

struct TSigner : ISignerInfo {
  std::string SignerName() const override { return "Evil Corp"; }
  std::string SerialNumber() const override { return "0A0B0C"; }
  std::string IssuerName() const override { return "Some CA"; }
  std::string Thumbprint() const override { return {}; }
};

// One file, rewritten for every input (tmpfs where there is one).
const std::string& InputFile() {
  static const std::string path = [] {
    std::string folder = "/dev/shm";
    if (access(folder.c_str(), W_OK) != 0) {
      const char* tmp = std::getenv("TMPDIR");
      folder = tmp && *tmp ? tmp : "/tmp";
    }
    std::string name = folder + "/qm-fuzz-knowledge-XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { unlink(InputFile().c_str()); });
    return name;
  }();
  return path;
}

void WriteInput(const std::uint8_t* data, std::size_t size) {
  int fd = open(InputFile().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) std::abort();
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) std::abort();
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  close(fd);
}

template <class T, class F>
void Exercise(F&& AQueries) {
  // Queries on a fresh connection first: a failing check would set the file
  // aside before they run.
  auto db = TCustomSqlLiteDataBase::Create<T>();
  db->Open(InputFile());
  AQueries(*db);
  db->TakeQueryProblems();
  db->Close();
  db->Open(InputFile());
  db->Check();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  WriteInput(data, size);

  Exercise<TMalwareDataBaseThreatsInfo>([](TMalwareDataBaseThreatsInfo& db) {
    TMalwareThreatInfo info;
    db.GetMalwareThreatInfo(8000001, &info);
    db.GetMalwareThreatInfo(-1, &info);
  });
  Exercise<TMalwareDataBaseBlackWhiteLists>([](TMalwareDataBaseBlackWhiteLists& db) {
    TSigner signer;
    db.CheckDigitalSignature(signer, TListType::mdBlackList);
    db.CheckDigitalSignature(signer, TListType::mdWhiteList);
    db.CheckCompanyName("Acme Widgets Ltd.", TListType::mdBlackList);
    db.CheckIPv4(0x0100007F);
    db.CheckIPv4(0xFFFFFFFF);
  });
  Exercise<TMalwareDataBaseFileDetails>([](TMalwareDataBaseFileDetails& db) {
    std::vector<TFilePathInfo> paths;
    db.GetFileLocations("C:\\Windows\\System32\\kernel32.dll", paths, nullptr);
    TFilePathInfoCheckParams raw;
    raw.DecodeEnvVariables = false;
    db.GetFileLocations("svchost.exe", paths, &raw);
  });
  Exercise<TMalwareHarmonyStrings>([](TMalwareHarmonyStrings& db) {
    TStringHarmonyInfo info;
    db.GetStringInfo("setup_x64", &info);
    db.GetStringInfoByScheme("report", THarmonySchemeType::hstTrigramm, &info);
  });
  return 0;
}
