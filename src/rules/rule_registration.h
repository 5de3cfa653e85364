// Registers the library's rule classes with the engine's rule registry; runs
// once, on the registry's first use.
#pragma once

namespace quillmark {
void RegisterBuiltinRules();
}
