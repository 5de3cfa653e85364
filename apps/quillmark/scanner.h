// Finding the files to scan and scanning them with a pool of engines.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "options.h"
#include "quillmark/malware_heuristic.h"
#include "report.h"

namespace quillmark::cli {

struct TCollectError {
  std::string Path;
  std::string Reason;
  // True when the path may have been a file (a missing command-line path, a
  // dangling link); false for a folder that could not be listed.
  bool AsFile;
};

// The regular files named by paths, folders expanded recursively in name
// order. Links are followed; a folder already visited (a link loop, or one
// reached twice) is not entered again. Sockets, devices and pipes inside
// folders are left out.
std::vector<std::string> CollectFiles(const std::vector<std::string>& paths,
                                      const std::function<void(const TCollectError&)>& onError);

// An engine set up as the options ask: knowledge folder and rule choice.
// Rules that are not registered in this build are left alone.
ComPtr<IMalwareHeuristic> CreateEngine(const TOptions& options);

// Checks that the file can be read, analyses it and gathers the result.
TFileReport ScanFile(IMalwareHeuristic& engine, const std::string& fileName);

// Runs the whole scan and answers the exit status.
int RunScan(const TOptions& options);

}  // namespace quillmark::cli
