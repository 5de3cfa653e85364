// The files to scan are found by the runtime's folder walk: command-line
// paths as given, folders walked recursively.
#pragma once

#include "quillmark/folder_walk.h"

namespace quillmark::cli {

using runtime::kWalkOpenFolders;
using runtime::TWalkItem;
using runtime::TWalkOptions;
using runtime::WalkPaths;

}  // namespace quillmark::cli
