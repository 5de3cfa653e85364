#include "support/localizer.h"

#include <cctype>
#include <mutex>
#include <utility>

#include "support/text_utils.h"

namespace quillmark {

namespace {

struct TTable {
  std::mutex Lock;
  std::vector<std::pair<std::string, std::string>> Lines;
};

TTable& Table() {
  static TTable table;
  return table;
}

}  // namespace

const char* LocalizerStrIdentifier(TMalwareLocalizerStr s) {
  switch (s) {
    case TMalwareLocalizerStr::MSG_FILE_NOT_FOUND: return "MSG_FILE_NOT_FOUND";
    case TMalwareLocalizerStr::MSG_REGISTER_DB_FUNCTION_FAIL: return "MSG_REGISTER_DB_FUNCTION_FAIL";
    case TMalwareLocalizerStr::RULE_NAME_: return "RULE_NAME_";
    case TMalwareLocalizerStr::MSG_NONE: return "MSG_NONE";
  }
  return "";
}

std::string FormatPositional(const std::string& f, const std::vector<std::string>& args) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%') {
      out += f[i];
      continue;
    }
    if (i + 1 < f.size() && f[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // %[index:]letter
    std::size_t j = i + 1;
    std::size_t index = next;
    std::size_t digits = j;
    while (digits < f.size() && std::isdigit(static_cast<unsigned char>(f[digits]))) ++digits;
    if (digits > j && digits < f.size() && f[digits] == ':') {
      index = std::stoul(f.substr(j, digits - j));
      j = digits + 1;
    }
    if (j < f.size() && std::isalpha(static_cast<unsigned char>(f[j])) && index < args.size()) {
      out += args[index];
      next = index + 1;
      i = j;
    } else {
      out += '%';
    }
  }
  return out;
}

void TMalwareLocalizer::Update(const std::vector<std::string>* AStrings) {
  std::vector<std::pair<std::string, std::string>> lines;
  if (AStrings) {
    for (const std::string& line : *AStrings) {
      auto eq = line.find('=');
      if (eq == std::string::npos) lines.emplace_back(line, std::string());
      else lines.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
  }
  TTable& t = Table();
  std::lock_guard<std::mutex> guard(t.Lock);
  t.Lines = std::move(lines);
}

std::string TMalwareLocalizer::Lookup(const std::string& AKey) {
  TTable& t = Table();
  std::lock_guard<std::mutex> guard(t.Lock);
  for (const auto& [name, value] : t.Lines)
    if (SameTextAscii(name, AKey)) return value.empty() ? AKey : value;
  return AKey;
}

std::string TMalwareLocalizer::GetMsg(TMalwareLocalizerStr AStr) { return Lookup(LocalizerStrIdentifier(AStr)); }

std::string TMalwareLocalizer::MsgF(TMalwareLocalizerStr AStr, const std::vector<std::string>& AArgs) {
  return FormatPositional(GetMsg(AStr), AArgs);
}

std::string TMalwareLocalizer::GetRuleName(TMalwareRuleType ARuleType) {
  std::string suffix = RuleTypeIdentifier(ARuleType);
  if (suffix.size() >= 2) suffix.erase(0, 2);
  return Lookup(GetMsg(TMalwareLocalizerStr::RULE_NAME_) + suffix);
}

}  // namespace quillmark
