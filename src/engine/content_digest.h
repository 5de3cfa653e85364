// SHA-256 of what an analysis read: the analysed file up to its size cap, or
// a memory block.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace quillmark {

class TAnalyzedFile;

// Lower-case hex SHA-256 of the file's bytes up to its size cap, read in
// chunks through the file's own reads (a read failure is thrown, and the
// file remembers it). Bytes past the file's stored data (a sparse file's
// trailing hole) are hashed as the zeros they read as, without reading.
// Empty when ACancel was set before the end.
std::string Sha256OfFile(const TAnalyzedFile& AFile, const std::atomic<bool>& ACancel);
// Lower-case hex SHA-256 of a block of memory.
std::string Sha256OfMemory(const void* AMemory, std::size_t ASize);

}  // namespace quillmark
