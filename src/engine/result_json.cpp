#include "engine/result_json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "db/system_crypt.h"
#include "support/text_utils.h"

namespace quillmark {

std::string JsonString(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t cp = 0;
    const std::size_t n = DecodeUtf8(s, i, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(s.data() + i, n);
    } else {
      switch (cp) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (cp < 0x20 || cp == 0x7F) {
            out += "\\u00";
            out += kHex[cp >> 4];
            out += kHex[cp & 0xF];
          } else {
            out += static_cast<char>(cp);
          }
      }
    }
    i += n;
  }
  out += '"';
  return out;
}

std::string JsonNumber(Extended v) {
  const double d = static_cast<double>(v);
  if (!std::isfinite(d)) return "null";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  if (ec != std::errc()) return "null";
  return std::string(buf, end);
}

std::string JsonValue(const TDetailValue& v) {
  switch (v.Kind) {
    case TDetailValueKind::dvNull: return "null";
    case TDetailValueKind::dvBool: return v.Bool ? "true" : "false";
    case TDetailValueKind::dvInteger: return std::to_string(v.Integer);
    case TDetailValueKind::dvNumber: return JsonNumber(v.Number);
    case TDetailValueKind::dvText: return JsonString(v.Text);
    case TDetailValueKind::dvList: {
      std::string j = "[";
      for (std::size_t i = 0; i < v.Items.size(); ++i) {
        if (i) j += ',';
        j += JsonValue(v.Items[i]);
      }
      return j + "]";
    }
    case TDetailValueKind::dvRecord: {
      std::string j = "{";
      for (std::size_t i = 0; i < v.Fields.size(); ++i) {
        if (i) j += ',';
        j += JsonString(v.Fields[i].Name);
        j += ':';
        j += JsonValue(v.Fields[i].Value);
      }
      return j + "}";
    }
  }
  return "null";
}

bool IsValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t cp = 0;
    const std::size_t n = DecodeUtf8(s, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

namespace {

std::string Printable(std::string_view s, bool escapeBackslash) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t cp = 0;
    std::size_t n = DecodeUtf8(s, i, cp);
    // C1 controls (U+0080..U+009F) can drive a terminal as well.
    if (n == 0 || cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
      if (n == 0) n = 1;
      for (std::size_t k = 0; k < n; ++k) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(s[i + k]));
        out += buf;
      }
    } else if (escapeBackslash && cp == '\\') {
      out += "\\\\";
    } else {
      out.append(s.data() + i, n);
    }
    i += n;
  }
  return out;
}

std::string OptionalText(const std::optional<std::string>& v) { return v ? JsonString(*v) : std::string("null"); }

}  // namespace

std::string PrintableText(std::string_view AText) { return Printable(AText, false); }

std::string PrintableName(std::string_view AName) { return Printable(AName, true); }

std::string FileReportJson(const TFileReport& r, Extended AThreshold, const std::vector<std::string>& AShared) {
  std::string j = "{\"file\":" + JsonString(r.File);
  j += ",\"fileBytes\":";
  j += IsValidUtf8(r.File) ? std::string("null") : "\"" + TCrypt::Base64Encode(std::string_view(r.File)) + "\"";
  j += ",\"analyzed\":";
  j += r.Analyzed ? "true" : "false";
  j += ",\"percent\":" + JsonNumber(r.Percent);
  j += ",\"flagged\":";
  j += r.Analyzed && r.Percent >= AThreshold ? "true" : "false";
  j += ",\"size\":" + (r.Size ? std::to_string(*r.Size) : std::string("null"));
  j += ",\"sha256\":" + (r.Sha256.empty() ? std::string("null") : JsonString(r.Sha256));
  j += ",\"threat\":";
  if (r.Analyzed) {
    j += "{\"id\":" + std::to_string(r.ThreatId);
    j += ",\"name\":" + OptionalText(r.ThreatName);
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
      j += "{\"name\":" + JsonString(rule.Threats[t].Name) + ",\"danger\":" + JsonNumber(rule.Threats[t].DangerPercent) +
           "}";
    }
    j += "],\"details\":";
    j += rule.Details.Kind == TDetailValueKind::dvRecord ? JsonValue(rule.Details) : std::string("{}");
    j += "}";
  }
  j += "]";
  j += ",\"error\":" + (r.Error.empty() ? std::string("null") : JsonString(r.Error));
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

}  // namespace quillmark
