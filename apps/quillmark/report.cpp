#include "report.h"

#include <cstdio>
#include <string>
#include <variant>
#include <vector>
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
        else if constexpr (std::is_same_v<T, TRuleResultDetailRecords>) {
          // An array of objects.
          std::string j = "[";
          for (std::size_t r = 0; r < x.size(); ++r) {
            j += r ? ",{" : "{";
            for (std::size_t f = 0; f < x[r].size(); ++f) {
              if (f) j += ',';
              j += JsonString(x[r][f].Name);
              j += ':';
              j += DetailJson(x[r][f].Value);
            }
            j += "}";
          }
          return j + "]";
        } else return JsonString(x);
      },
      v);
}

// Value of a named field of one detail record, as text for the text line.
std::string RecordField(const std::vector<TRuleResultDetail>& record, const char* name) {
  for (const TRuleResultDetail& f : record) {
    if (f.Name != name) continue;
    if (const auto* s = std::get_if<std::string>(&f.Value)) return *s;
    if (const auto* i = std::get_if<std::int64_t>(&f.Value)) return std::to_string(*i);
    if (const auto* b = std::get_if<bool>(&f.Value)) return *b ? "true" : "false";
  }
  return {};
}

// "127.0.0.1:49152 -> 127.0.0.1:8080 ESTABLISHED" for each connection of a
// running target, with the black-listed ones marked.
std::vector<std::string> ConnectionsText(const TRuleResultDetailValue* v) {
  std::vector<std::string> parts;
  const auto* records = v ? std::get_if<TRuleResultDetailRecords>(v) : nullptr;
  if (!records) return parts;
  for (const auto& c : *records) {
    std::string text = RecordField(c, "localAddress") + ":" + RecordField(c, "localPort") + " -> " +
                       RecordField(c, "remoteAddress") + ":" + RecordField(c, "remotePort") + " " +
                       RecordField(c, "state");
    if (RecordField(c, "remoteInBlackList") == "true") text += " black-listed";
    parts.push_back(PrintableText(text));
  }
  return parts;
}

const TRuleResultDetailValue* FindDetail(const TRuleReport& rule, const char* name) {
  for (const TRuleResultDetail& d : rule.Details)
    if (d.Name == name) return &d.Value;
  return nullptr;
}

std::string DetailText(const TRuleReport& rule, const char* name) {
  const TRuleResultDetailValue* v = FindDetail(rule, name);
  const std::string* s = v ? std::get_if<std::string>(v) : nullptr;
  return s ? *s : std::string();
}

bool DetailFlag(const TRuleReport& rule, const char* name) {
  const TRuleResultDetailValue* v = FindDetail(rule, name);
  const bool* b = v ? std::get_if<bool>(v) : nullptr;
  return b && *b;
}

std::string Quoted(const std::string& text) {
  std::string q(1, '"');
  q += PrintableText(text);
  q += '"';
  return q;
}

// The evidence of the identity rules, for the text line: who signed the
// file and what the signature check answered; which company the version
// resource names.
std::string TextEvidence(const TRuleReport& rule) {
  std::vector<std::string> parts;
  if (rule.Rule == "mhRuleSignedFile") {
    const std::string signer = DetailText(rule, "signerName"), issuer = DetailText(rule, "issuerName");
    const std::string serial = DetailText(rule, "serialNumber"), thumbprint = DetailText(rule, "thumbprint");
    const std::string code = DetailText(rule, "trustCode"), name = DetailText(rule, "trustResult");
    if (code.empty() && signer.empty()) return {};
    if (!signer.empty()) parts.push_back("signer " + Quoted(signer));
    if (!issuer.empty()) parts.push_back("issuer " + Quoted(issuer));
    if (!serial.empty()) parts.push_back("serial " + PrintableText(serial));
    if (!thumbprint.empty()) parts.push_back("thumbprint " + PrintableText(thumbprint));
    std::string trust = DetailFlag(rule, "trusted")                             ? "trusted"
                        : signer.empty() && name == "TRUST_E_NOSIGNATURE" ? "unsigned"
                                                                            : "not trusted";
    if (!code.empty()) trust += " (" + (name.empty() ? code : name + " " + code) + ")";
    parts.push_back(trust);
    if (DetailFlag(rule, "inBlacklist")) parts.push_back("black-listed signer");
    if (DetailFlag(rule, "inWhitelist")) parts.push_back("white-listed signer");
  } else if (rule.Rule == "mhRuleNoCompanyInfo") {
    if (!FindDetail(rule, "hasVersionInfo")) return {};
    if (!DetailFlag(rule, "hasVersionInfo")) {
      parts.push_back("no version resource");
    } else {
      const std::string company = DetailText(rule, "companyName");
      parts.push_back(company.empty() ? std::string("no company name") : "company " + Quoted(company));
      const std::string table = DetailText(rule, "versionTable");
      if (!table.empty()) parts.push_back("table " + PrintableText(table));
    }
    if (DetailFlag(rule, "inBlacklist")) parts.push_back("black-listed company");
  } else if (rule.Rule == "mhRuleOpenNetworkPorts") {
    parts = ConnectionsText(FindDetail(rule, "connections"));
  } else if (rule.Rule == "mhRuleHarmonyName") {
    // The model's average harmony (2 or less reads as random) once the rule fired.
    const TRuleResultDetailValue* v = FindDetail(rule, "averageFactor");
    const Extended* average = v ? std::get_if<Extended>(v) : nullptr;
    if (rule.Percent > 0 && average) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "harmony %.2Lf", *average);
      parts.push_back(buf);
    }
    if (DetailFlag(rule, "isGuid")) parts.push_back("GUID name");
  } else if (rule.Rule == "mhRuleIncorrectFileLocation") {
    // Where a file of this name belongs.
    const TRuleResultDetailValue* v = FindDetail(rule, "paths");
    const auto* records = v ? std::get_if<TRuleResultDetailRecords>(v) : nullptr;
    if (records && !records->empty()) {
      std::string folders = "belongs in ";
      for (std::size_t i = 0; i < records->size(); ++i)
        folders += (i ? "; " : "") + PrintableText(RecordField((*records)[i], "path"));
      parts.push_back(folders);
    }
  }
  if (parts.empty()) return {};
  std::string text = " {";
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : "") + parts[i];
  return text + "}";
}

}  // namespace

std::string FormatText(const TFileReport& r, long double AThreshold) {
  std::string line = PrintableName(r.File) + ": ";
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
    line += TextEvidence(rule);
  }
  if (r.ThreatName && r.Percent >= AThreshold) {
    line += "  threat: " + PrintableText(*r.ThreatName);
    if (r.ThreatSeverity) line += " (severity " + std::to_string(*r.ThreatSeverity) + ")";
  }
  return line;
}

std::string FormatJson(const TFileReport& r, const std::vector<std::string>& AShared) {
  std::string j = "{\"file\":" + JsonString(r.File);
  if (!IsValidUtf8(r.File)) j += ",\"fileBytes\":\"" + Base64(r.File) + "\"";
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
  j += ",\"warnings\":[";
  bool first = true;
  for (const auto* list : {&AShared, &r.Warnings})
    for (const std::string& w : *list) {
      if (!first) j += ",";
      first = false;
      j += JsonString(w);
    }
  j += "]}";
  return j;
}

}  // namespace quillmark::cli
