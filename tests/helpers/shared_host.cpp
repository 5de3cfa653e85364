// A host built against the shared library alone (no internal headers, no
// static library): it links only what the library exports.
#include <cstdio>

#include "quillmark/quillmark.h"

int main() {
  std::printf("%s\n", quillmark::GuidToString(quillmark::IMalwareHeuristic::IID).c_str());
  return 0;
}
