// Scanning the files the walk finds with a pool of engines.
#pragma once

#include <string>
#include <vector>

#include "file_walk.h"
#include "options.h"
#include "quillmark/malware_heuristic.h"
#include "report.h"

namespace quillmark::cli {

// An engine set up as the options ask: knowledge folder, certificate files,
// size cap and rule choice. Rules that are not registered in this build are left alone.
ComPtr<IMalwareHeuristic> CreateEngine(const TOptions& options);

// What became of one item of the walk: a file analysed by the engine, or a
// path the walk could not read or would not open.
TFileReport ScanItem(IMalwareHeuristic& engine, const TWalkItem& item);

// Prints every rule of the engine, one a line: identifier, short name,
// default priority. Answers the exit status.
int ListRules();

// Runs the whole scan and answers the exit status: 2 when anything could
// not be read or written, else 1 when a file scored at or above the
// threshold, else 0.
int RunScan(const TOptions& options);

}  // namespace quillmark::cli
