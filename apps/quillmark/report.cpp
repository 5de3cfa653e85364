#include "report.h"

#include <cstdio>
#include <type_traits>

#include "text_encoding.h"

namespace quillmark::cli {

namespace {

std::string Percent1(long double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1Lf%%", v);
  return buf;
}

std::string DetailJson(const TRuleResultDetailValue& v) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, bool>) return x ? "true" : "false";
        else if constexpr (std::is_same_v<T, std::int64_t>) return std::to_string(x);
        else if constexpr (std::is_same_v<T, Extended>) return JsonNumber(x);
        else return JsonString(x);
      },
      v);
}

}  // namespace

std::string FormatText(const TFileReport& r) {
  std::string line = PrintableText(r.File) + ": ";
  if (!r.Readable) return line + "cannot read (" + r.Error + ")";
  if (!r.Analyzed) return line + "not analysed (" + r.Error + ")";
  line += Percent1(r.Percent);
  for (const TRuleReport& rule : r.Rules) {
    line += "  " + rule.Rule + " " + Percent1(rule.Percent);
    if (!rule.Threats.empty()) {
      line += " [";
      for (std::size_t i = 0; i < rule.Threats.size(); ++i) {
        if (i) line += ", ";
        char buf[32];
        std::snprintf(buf, sizeof buf, " %.0Lf%%", rule.Threats[i].second);
        line += PrintableText(rule.Threats[i].first) + buf;
      }
      line += "]";
    }
  }
  if (r.ThreatName) {
    line += "  threat: " + PrintableText(*r.ThreatName);
    if (r.ThreatSeverity) line += " (severity " + std::to_string(*r.ThreatSeverity) + ")";
  }
  return line;
}

std::string FormatJson(const TFileReport& r) {
  std::string j = "{\"file\":" + JsonString(r.File);
  j += ",\"analyzed\":";
  j += r.Analyzed ? "true" : "false";
  j += ",\"percent\":" + JsonNumber(r.Percent);
  j += ",\"threat\":";
  if (r.Readable) {
    j += "{\"id\":" + std::to_string(r.ThreatId);
    j += ",\"name\":" + (r.ThreatName ? JsonString(*r.ThreatName) : std::string("null"));
    j += ",\"severity\":" + (r.ThreatSeverity ? std::to_string(*r.ThreatSeverity) : std::string("null"));
    j += "}";
  } else {
    j += "null";
  }
  j += ",\"rules\":[";
  for (std::size_t i = 0; i < r.Rules.size(); ++i) {
    const TRuleReport& rule = r.Rules[i];
    if (i) j += ",";
    j += "{\"rule\":" + JsonString(rule.Rule) + ",\"percent\":" + JsonNumber(rule.Percent) + ",\"threats\":[";
    for (std::size_t t = 0; t < rule.Threats.size(); ++t) {
      if (t) j += ",";
      j += "{\"name\":" + JsonString(rule.Threats[t].first) + ",\"danger\":" + JsonNumber(rule.Threats[t].second) +
           "}";
    }
    j += "],\"details\":{";
    for (std::size_t d = 0; d < rule.Details.size(); ++d) {
      if (d) j += ",";
      j += JsonString(rule.Details[d].Name) + ":" + DetailJson(rule.Details[d].Value);
    }
    j += "}}";
  }
  j += "]";
  if (!r.Error.empty()) j += ",\"error\":" + JsonString(r.Error);
  j += "}";
  return j;
}

}  // namespace quillmark::cli
