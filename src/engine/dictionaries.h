// The engine's knowledge files, opened on first use.
#pragma once

#include <mutex>

namespace quillmark {

class TMalwareHeuristic;

class TMalwareHeuristicDictionaries {
 public:
  explicit TMalwareHeuristicDictionaries(TMalwareHeuristic* AOwner) : FOwner(AOwner) {}
  TMalwareHeuristicDictionaries(const TMalwareHeuristicDictionaries&) = delete;
  TMalwareHeuristicDictionaries& operator=(const TMalwareHeuristicDictionaries&) = delete;

  // Returns the opened databases to their unopened state; the next use opens
  // them again with the settings' current file names.
  void CloseAll();

 private:
  std::mutex FSync;
  TMalwareHeuristic* FOwner;
};

}  // namespace quillmark
