#include "support/resource_writer.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace quillmark::test {

namespace {

using TBytes = std::vector<std::uint8_t>;

void Put16(TBytes& b, std::size_t at, std::uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(TBytes& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, static_cast<std::uint16_t>(v));
  Put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}
void Append16(TBytes& b, std::uint16_t v) { Put16(b, b.size(), v); }
void Append32(TBytes& b, std::uint32_t v) { Put32(b, b.size(), v); }
void PadTo(TBytes& b, std::size_t alignment) {
  while (b.size() % alignment) b.push_back(0);
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// The format's order: named entries first, by name; then identifiers.
bool Before(const TResourceName& a, const TResourceName& b) {
  if (a.IsString != b.IsString) return a.IsString;
  return a.IsString ? Upper(a.Name) < Upper(b.Name) : a.Id < b.Id;
}

struct TNameNode {
  TResourceName Name;
  std::vector<std::pair<std::uint16_t, std::size_t>> Languages;  // language, item index
};
struct TTypeNode {
  TResourceName Type;
  std::vector<TNameNode> Names;
};

void WriteDirectory(TBytes& b, std::size_t at, std::size_t named, std::size_t ids) {
  Put32(b, at, 0);       // Characteristics
  Put32(b, at + 4, 0);   // TimeDateStamp
  Put16(b, at + 8, 4);   // MajorVersion
  Put16(b, at + 10, 0);  // MinorVersion
  Put16(b, at + 12, static_cast<std::uint16_t>(named));
  Put16(b, at + 14, static_cast<std::uint16_t>(ids));
}

// A version block: header, key, padding, value, padding, children.
TBytes Block(std::string_view key, const TBytes& value, std::uint16_t valueLength, std::uint16_t type,
             const std::vector<TBytes>& children) {
  TBytes b(6, 0);
  TBytes k = Utf16LE(key);
  b.insert(b.end(), k.begin(), k.end());
  Append16(b, 0);
  PadTo(b, 4);
  b.insert(b.end(), value.begin(), value.end());
  for (const TBytes& c : children) {
    PadTo(b, 4);
    b.insert(b.end(), c.begin(), c.end());
  }
  Put16(b, 0, static_cast<std::uint16_t>(b.size()));
  Put16(b, 2, valueLength);
  Put16(b, 4, type);
  return b;
}

}  // namespace

TBytes Utf16LE(std::string_view s) {
  TBytes out;
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::uint32_t cp;
    std::size_t n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else {
      cp = c & 0x07;
      n = 4;
    }
    for (std::size_t k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      Append16(out, static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
      Append16(out, static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      Append16(out, static_cast<std::uint16_t>(cp));
    }
  }
  return out;
}

// --- TResourceBuilder ---------------------------------------------------------

TResourceBuilder& TResourceBuilder::Add(TResourceName type, TResourceName name, std::uint16_t language, TBytes data) {
  FItems.push_back({std::move(type), std::move(name), language, std::move(data), 0});
  return *this;
}

TBytes TResourceBuilder::Build(std::uint32_t sectionRva, TResourceLayout* layout) const {
  // The tree, in the format's order.
  std::vector<TTypeNode> types;
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    const TItem& it = FItems[i];
    auto t = std::find_if(types.begin(), types.end(), [&](const TTypeNode& n) { return n.Type.Matches(it.Type); });
    if (t == types.end()) t = types.insert(types.end(), {it.Type, {}});
    auto n = std::find_if(t->Names.begin(), t->Names.end(), [&](const TNameNode& x) { return x.Name.Matches(it.Name); });
    if (n == t->Names.end()) n = t->Names.insert(t->Names.end(), {it.Name, {}});
    n->Languages.emplace_back(it.Language, i);
  }
  std::sort(types.begin(), types.end(), [](const TTypeNode& a, const TTypeNode& b) { return Before(a.Type, b.Type); });
  for (TTypeNode& t : types) {
    std::sort(t.Names.begin(), t.Names.end(), [](const TNameNode& a, const TNameNode& b) { return Before(a.Name, b.Name); });
    for (TNameNode& n : t.Names) std::sort(n.Languages.begin(), n.Languages.end());
  }
  auto countNamed = [](const auto& v, auto key) {
    return static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [&](const auto& x) { return key(x).IsString; }));
  };

  TResourceLayout l;
  l.SectionRva = sectionRva;
  l.DataEntries.assign(FItems.size(), 0);
  l.Data.assign(FItems.size(), 0);

  // Directories: root, then every type's name directory, then every
  // language directory; then the data entries.
  std::size_t at = 16 + 8 * types.size();
  for (const TTypeNode& t : types) {
    l.NameDirectories.push_back(at);
    at += 16 + 8 * t.Names.size();
  }
  l.LanguageDirectories.resize(types.size());
  for (std::size_t ti = 0; ti < types.size(); ++ti)
    for (const TNameNode& n : types[ti].Names) {
      l.LanguageDirectories[ti].push_back(at);
      at += 16 + 8 * n.Languages.size();
    }
  for (const TTypeNode& t : types)
    for (const TNameNode& n : t.Names)
      for (const auto& [lang, item] : n.Languages) {
        (void)lang;
        l.DataEntries[item] = at;
        at += 16;
      }

  TBytes b(at, 0);
  // Name strings after the data entries; one copy per distinct name.
  std::map<std::string, std::size_t> strings;
  auto stringOffset = [&](const TResourceName& name) -> std::uint32_t {
    auto found = strings.find(name.Name);
    if (found != strings.end()) return static_cast<std::uint32_t>(found->second);
    PadTo(b, 2);
    const std::size_t off = b.size();
    TBytes chars = Utf16LE(name.Name);
    Append16(b, static_cast<std::uint16_t>(chars.size() / 2));
    b.insert(b.end(), chars.begin(), chars.end());
    strings.emplace(name.Name, off);
    return static_cast<std::uint32_t>(off);
  };
  auto nameField = [&](const TResourceName& name) -> std::uint32_t {
    return name.IsString ? (0x80000000u | stringOffset(name)) : name.Id;
  };

  WriteDirectory(b, 0, countNamed(types, [](const TTypeNode& t) -> const TResourceName& { return t.Type; }),
                 types.size() - countNamed(types, [](const TTypeNode& t) -> const TResourceName& { return t.Type; }));
  for (std::size_t ti = 0; ti < types.size(); ++ti) {
    const TTypeNode& t = types[ti];
    Put32(b, TResourceLayout::EntryOffset(0, ti), nameField(t.Type));
    Put32(b, TResourceLayout::EntryOffset(0, ti) + 4, 0x80000000u | static_cast<std::uint32_t>(l.NameDirectories[ti]));
    const std::size_t named = countNamed(t.Names, [](const TNameNode& n) -> const TResourceName& { return n.Name; });
    WriteDirectory(b, l.NameDirectories[ti], named, t.Names.size() - named);
    for (std::size_t ni = 0; ni < t.Names.size(); ++ni) {
      const TNameNode& n = t.Names[ni];
      const std::size_t langDir = l.LanguageDirectories[ti][ni];
      Put32(b, TResourceLayout::EntryOffset(l.NameDirectories[ti], ni), nameField(n.Name));
      Put32(b, TResourceLayout::EntryOffset(l.NameDirectories[ti], ni) + 4, 0x80000000u | static_cast<std::uint32_t>(langDir));
      WriteDirectory(b, langDir, 0, n.Languages.size());
      for (std::size_t li = 0; li < n.Languages.size(); ++li) {
        Put32(b, TResourceLayout::EntryOffset(langDir, li), n.Languages[li].first);
        Put32(b, TResourceLayout::EntryOffset(langDir, li) + 4, static_cast<std::uint32_t>(l.DataEntries[n.Languages[li].second]));
      }
    }
  }

  // Data, each 8-aligned (plus the requested misalignment).
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    PadTo(b, 8);
    b.resize(b.size() + FMisalign, 0);
    l.Data[i] = b.size();
    b.insert(b.end(), FItems[i].Data.begin(), FItems[i].Data.end());
    Put32(b, l.DataEntries[i], sectionRva + static_cast<std::uint32_t>(l.Data[i]));
    Put32(b, l.DataEntries[i] + 4, static_cast<std::uint32_t>(FItems[i].Data.size()));
    Put32(b, l.DataEntries[i] + 8, FItems[i].CodePage);
  }
  PadTo(b, 4);
  l.Size = b.size();
  if (layout) *layout = std::move(l);
  return b;
}

TPEBytes BuildPEWithResources(const TResourceBuilder& resources, TPEKind kind, TResourceLayout* layout) {
  TPEBuilder pe(kind);
  pe.AddSection(".text", Bytes("\x55\x89\xE5\x31\xC0\x5D\xC3"), kCodeSection);
  // Two sections fit in the headers' first file-alignment unit, so adding the
  // second does not move the RVA computed here.
  const std::uint32_t rva = pe.SectionRva(1);
  TResourceLayout l;
  TBytes section = resources.Build(rva, &l);
  const auto size = static_cast<std::uint32_t>(section.size());
  pe.AddSection(".rsrc", std::move(section), kReadOnlyDataSection);
  if (pe.SectionRva(1) != rva) throw std::logic_error("resource section moved while building");
  pe.SetDataDirectory(pe::DIRECTORY_ENTRY_RESOURCE, rva, size);
  if (layout) *layout = std::move(l);
  return pe.Build();
}

// --- TVersionInfoBuilder ------------------------------------------------------

TVersionInfoBuilder& TVersionInfoBuilder::SetFileVersion(std::uint16_t a, std::uint16_t b, std::uint16_t c,
                                                         std::uint16_t d) {
  FFileVersionMS = (std::uint32_t{a} << 16) | b;
  FFileVersionLS = (std::uint32_t{c} << 16) | d;
  return *this;
}

TVersionInfoBuilder& TVersionInfoBuilder::AddStringTable(std::string key,
                                                         std::vector<std::pair<std::string, std::string>> values) {
  FTables.emplace_back(std::move(key), std::move(values));
  return *this;
}

TVersionInfoBuilder& TVersionInfoBuilder::AddTranslation(std::uint16_t language, std::uint16_t codePage) {
  FTranslations.emplace_back(language, codePage);
  return *this;
}

TBytes TVersionInfoBuilder::Build() const {
  TBytes fixed;
  if (FFixed) {
    const std::uint32_t f[13] = {0xFEEF04BD, 0x00010000, FFileVersionMS, FFileVersionLS, FFileVersionMS, FFileVersionLS,
                                 0x3F,       0,          0x40004,        1,              0,              0,
                                 0};
    for (std::uint32_t v : f) Append32(fixed, v);
  }
  std::vector<TBytes> children;
  if (!FTables.empty()) {
    std::vector<TBytes> tables;
    for (const auto& [key, values] : FTables) {
      std::vector<TBytes> strings;
      for (const auto& [k, v] : values) {
        TBytes text = Utf16LE(v);
        std::uint16_t length = 0;
        if (!v.empty()) {
          Append16(text, 0);
          length = static_cast<std::uint16_t>(text.size() / 2);
        }
        strings.push_back(Block(k, text, length, 1, {}));
      }
      tables.push_back(Block(key, {}, 0, 1, strings));
    }
    children.push_back(Block("StringFileInfo", {}, 0, 1, tables));
  }
  if (!FTranslations.empty()) {
    TBytes pairs;
    for (const auto& [lang, cp] : FTranslations) {
      Append16(pairs, lang);
      Append16(pairs, cp);
    }
    TBytes var = Block("Translation", pairs, static_cast<std::uint16_t>(pairs.size()), 0, {});
    children.push_back(Block("VarFileInfo", {}, 0, 1, {var}));
  }
  return Block(FRootKey, fixed, static_cast<std::uint16_t>(fixed.size()), 0, children);
}

std::size_t FindVersionBlock(const TBytes& data, std::string_view key, std::size_t from) {
  TBytes k = Utf16LE(key);
  Append16(k, 0);
  for (std::size_t at = from; at + 6 + k.size() <= data.size(); at += 2)
    if (std::equal(k.begin(), k.end(), data.begin() + static_cast<std::ptrdiff_t>(at + 6))) return at;
  return std::string_view::npos;
}

// --- icons and manifests ------------------------------------------------------

TBytes IconImage() {
  // BITMAPINFOHEADER of a 16x16, 32-bit image (height doubled for the mask),
  // the pixels and the AND mask.
  TBytes b;
  Append32(b, 40);
  Append32(b, 16);
  Append32(b, 32);
  Append16(b, 1);
  Append16(b, 32);
  for (int i = 0; i < 6; ++i) Append32(b, 0);
  for (int i = 0; i < 16 * 16; ++i) Append32(b, 0xFF2060C0);
  b.resize(b.size() + 16 * 4, 0);
  return b;
}

TBytes GroupIcon(const std::vector<std::uint16_t>& iconIds) {
  TBytes b;
  Append16(b, 0);  // reserved
  Append16(b, 1);  // icons
  Append16(b, static_cast<std::uint16_t>(iconIds.size()));
  const auto size = static_cast<std::uint32_t>(IconImage().size());
  for (std::uint16_t id : iconIds) {
    b.push_back(16);  // width
    b.push_back(16);  // height
    b.push_back(0);   // colours
    b.push_back(0);
    Append16(b, 1);   // planes
    Append16(b, 32);  // bits per pixel
    Append32(b, size);
    Append16(b, id);
  }
  return b;
}

TResourceBuilder& AddIcon(TResourceBuilder& r, std::uint16_t iconId, std::uint16_t groupId, std::uint16_t language) {
  r.Add(rtIcon, iconId, language, IconImage());
  return r.Add(rtGroupIcon, groupId, language, GroupIcon({iconId}));
}

TBytes Manifest() {
  const std::string_view text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>\n";
  return TBytes(text.begin(), text.end());
}

}  // namespace quillmark::test
