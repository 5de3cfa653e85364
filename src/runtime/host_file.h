// Small files of the host this library runs on that configure it (trust
// anchors given by the user or kept in the knowledge folder), read whole.
// These belong to the examining host, not to the target system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillmark::runtime {

// The content of the regular file at APath when it holds at most AMaxSize
// bytes. Opening never waits: a FIFO, a device or any other file that is not
// a regular file is refused without blocking on a writer. Throws EOSError
// whose text is the reason ("not a regular file", "larger than N bytes" or
// the system's error text).
std::vector<std::uint8_t> ReadHostRegularFile(const std::string& APath, std::uint64_t AMaxSize);

}  // namespace quillmark::runtime
