// Final normalisation of paths written in environment-variable form, as the
// target system spells them.
#pragma once

#include <string>

#include "runtime/target_system.h"

namespace quillmark::runtime {

// Value of an environment variable of the target, the name compared without
// regard to case. On a Windows target, SystemRoot and windir fall back to the
// Windows directory and SystemDrive to its drive. Empty when unknown.
std::string LookupEnvironmentVariable(ITargetSystem& target, const std::string& name);

// Replaces every %NAME% whose variable the target knows by its value; unknown
// names and lone percent signs stay as they are.
std::string ExpandEnvironmentVariables(ITargetSystem& target, const std::string& path);

// Turns a path in environment-variable form back into a usable path. A plain
// absolute path comes back unchanged, and so does every path of a target
// without Windows path syntax (where "%" is an ordinary character).
std::string PreparePathName(ITargetSystem& target, const std::string& path);

}  // namespace quillmark::runtime
