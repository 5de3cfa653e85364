#include "support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillmark::test {

TTempDir::TTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quillmark-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("cannot create a temporary folder from " + pattern);
  FPath = buffer.data();
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  // Let removal through folders whose permissions a test took away.
  for (auto it = std::filesystem::recursive_directory_iterator(FPath, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
    if (it->is_directory(ignored))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(FPath, ignored);
}

std::string TTempDir::WriteFile(std::string_view relative, std::span<const std::uint8_t> bytes) const {
  std::filesystem::path path = FPath / relative;
  std::filesystem::create_directories(path.parent_path());
  WriteBytes(path, bytes);
  return path.string();
}

std::string TTempDir::WriteFile(std::string_view relative, std::string_view text) const {
  return WriteFile(relative, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void WriteBytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace quillmark::test
