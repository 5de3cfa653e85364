// A temporary folder under $TMPDIR (or /tmp), removed with its contents when
// the object goes away.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace quillmark::test {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  // Full path of a name inside the folder.
  std::string operator/(std::string_view relative) const { return (FPath / relative).string(); }

  // Writes bytes to a file inside the folder (creating sub-folders) and
  // answers its full path.
  std::string WriteFile(std::string_view relative, std::span<const std::uint8_t> bytes) const;
  std::string WriteFile(std::string_view relative, std::string_view text) const;

 private:
  std::filesystem::path FPath;
};

// Writes bytes to a file, replacing it; throws std::runtime_error on failure.
void WriteBytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace quillmark::test
