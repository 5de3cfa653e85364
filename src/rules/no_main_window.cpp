#include "rules/no_main_window.h"

#include "interfaces/rule_host.h"
#include "support/processes.h"

namespace quillmark {

TRuleCheckCode TMalwareRuleNoMainWindow::CheckFile(const std::string& AFileName, Extended& APercent) {
  ComPtr<IProcessList> list = ProcessList();
  ComPtr<IProcess> process = list ? list->FindByFileName(AFileName) : ComPtr<IProcess>();
  if (process && !process->MainWindow()) APercent = 100;
  return TRuleCheckCode::rccContinue;
}

}  // namespace quillmark
