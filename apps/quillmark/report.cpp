#include "report.h"

#include <cstdio>
#include <string>
#include <vector>

namespace quillmark::cli {

namespace {

std::string Percent1(long double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1Lf%%", v);
  return buf;
}

// Value of a named field of one detail record, as text for the text line.
std::string RecordField(const TDetailValue& record, const char* name) {
  const TDetailValue* v = record.Find(name);
  if (!v) return {};
  switch (v->Kind) {
    case TDetailValueKind::dvText: return v->Text;
    case TDetailValueKind::dvInteger: return std::to_string(v->Integer);
    case TDetailValueKind::dvBool: return v->Bool ? "true" : "false";
    default: return {};
  }
}

// "127.0.0.1:49152 -> 127.0.0.1:8080 ESTABLISHED" for each connection of a
// running target, with the black-listed ones marked.
std::vector<std::string> ConnectionsText(const TDetailValue* v) {
  std::vector<std::string> parts;
  if (!v || v->Kind != TDetailValueKind::dvList) return parts;
  for (const TDetailValue& c : v->Items) {
    std::string text = RecordField(c, "localAddress") + ":" + RecordField(c, "localPort") + " -> " +
                       RecordField(c, "remoteAddress") + ":" + RecordField(c, "remotePort") + " " +
                       RecordField(c, "state");
    if (RecordField(c, "remoteInBlackList") == "true") text += " black-listed";
    parts.push_back(PrintableText(text));
  }
  return parts;
}

const TDetailValue* FindDetail(const TRuleReport& rule, const char* name) { return rule.Details.Find(name); }

std::string DetailText(const TRuleReport& rule, const char* name) {
  const TDetailValue* v = FindDetail(rule, name);
  return v ? v->TextOr() : std::string();
}

bool DetailFlag(const TRuleReport& rule, const char* name) {
  const TDetailValue* v = FindDetail(rule, name);
  return v && v->IsTrue();
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
    const TDetailValue* average = FindDetail(rule, "averageFactor");
    if (rule.Percent > 0 && average && average->Kind == TDetailValueKind::dvNumber) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "harmony %.2Lf", average->Number);
      parts.push_back(buf);
    }
    if (DetailFlag(rule, "isGuid")) parts.push_back("GUID name");
  } else if (rule.Rule == "mhRuleIncorrectFileLocation") {
    // Where a file of this name belongs.
    const TDetailValue* v = FindDetail(rule, "paths");
    if (v && v->Kind == TDetailValueKind::dvList && !v->Items.empty()) {
      std::string folders = "belongs in ";
      for (std::size_t i = 0; i < v->Items.size(); ++i)
        folders += (i ? "; " : "") + PrintableText(RecordField(v->Items[i], "path"));
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
        std::snprintf(buf, sizeof buf, " %.0Lf%%", rule.Threats[i].DangerPercent);
        line += PrintableText(rule.Threats[i].Name) + buf;
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

std::string FormatJson(const TFileReport& r, long double AThreshold, const std::vector<std::string>& AShared) {
  return FileReportJson(r, AThreshold, AShared);
}

}  // namespace quillmark::cli
