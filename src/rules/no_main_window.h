// No-main-window rule: a program that runs without a window of its own
// (hidden, or showing only owned dialogs) works out of the user's sight.
#pragma once

#include <string>

#include "rules/rule_custom.h"

namespace quillmark {

class TMalwareRuleNoMainWindow : public TMalwareRuleCustom {
 public:
  using TMalwareRuleCustom::TMalwareRuleCustom;
  const char* ClassName() const override { return "TMalwareRuleNoMainWindow"; }

 protected:
  // 100 when the file runs as a process that has no main window; 0 when it
  // does or when the file is not running.
  TRuleCheckCode CheckFile(const std::string& AFileName, Extended& APercent) override;
};

}  // namespace quillmark
