#include "layout/bvkISO9660Names.h"

#include "platform/bvkText.h"

#include <string>
#include <unordered_set>
#include <vector>

namespace torvik {
namespace {

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Code points of a UTF-16 name. An unpaired surrogate stays as its own unit value so that the
// Joliet side (UCS-2) can write it back unchanged.
void Decode(std::u16string_view s, std::u32string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(c);
  }
}

size_t Utf16Cost(char32_t c) { return c >= 0x10000 ? 2 : 1; }

size_t Utf8Cost(char32_t c) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c < 0x10000) return 3;
  return 4;
}

bool JolietForbidden(char32_t c) {
  return c < 0x20 || c == '*' || c == '/' || c == ':' || c == ';' || c == '?' || c == '\\';
}

// A '/' would split the name into a path for every reader; control characters and unpaired
// surrogates have no sound UTF-8 form.
bool ISO1999Forbidden(char32_t c) { return c < 0x20 || c == '/' || IsSurrogate(c); }


struct TRules {
  size_t Limit;
  size_t (*Cost)(char32_t);
  bool (*Forbidden)(char32_t);
};

size_t CostOf(const TRules& r, std::u32string_view s) {
  size_t n = 0;
  for (char32_t c : s) n += r.Cost(c);
  return n;
}

// stem + tail + extension within the limit, cutting only whole characters off the stem. An
// extension is kept when it leaves most of the room to the stem; a name like "a.<200 chars>"
// is treated as one long stem.
std::u32string Fit(const TRules& r, const std::u32string& name, std::u32string_view tail) {
  size_t dot = name.rfind(U'.');
  std::u32string_view stem(name), ext;
  if (dot != std::u32string::npos && dot > 0 && CostOf(r, stem.substr(dot)) <= r.Limit / 2) {
    ext = stem.substr(dot);
    stem = stem.substr(0, dot);
  }
  size_t budget = r.Limit - CostOf(r, ext) - CostOf(r, tail);
  size_t used = 0, keep = 0;
  while (keep < stem.size() && used + r.Cost(stem[keep]) <= budget) used += r.Cost(stem[keep++]);
  std::u32string out(stem.substr(0, keep));
  out.append(tail);
  out.append(ext);
  return out;
}

std::u16string ToUtf16(const std::u32string& cps) {
  std::u16string out;
  for (char32_t c : cps) AppendUtf16(out, c);
  return out;
}

// Joliet: UCS-2, so the long name is kept unit for unit when it is short enough and clean.
struct TJolietHierarchy {
  static constexpr TRules Rules{kJolietNameLimit, Utf16Cost, JolietForbidden};
  static bool TryKeep(TFileEntry& e) {
    const std::u16string& n = e.LongName;
    if (n.empty() || n.size() > kJolietNameLimit) return false;
    for (char16_t c : n)
      if (JolietForbidden(c)) return false;
    // The long name as first given is usually this very text: share its buffer then.
    if (e.LongNameWIN32 == n)
      e.JolietName = e.LongNameWIN32;
    else
      e.JolietName = n;
    return true;
  }
  static void Store(TFileEntry& e, const std::u32string& cps) { e.JolietName = ToUtf16(cps); }
  static std::u16string KeptKey(const TFileEntry& e) { return FoldCase(e.JolietName); }
};

// ISO 9660:1999: the long name in UTF-8, kept when it encodes cleanly within 207 bytes.
struct TISO1999Hierarchy {
  static constexpr TRules Rules{kISO1999NameLimit, Utf8Cost, ISO1999Forbidden};
  static bool TryKeep(TFileEntry& e) {
    const std::u16string& n = e.LongName;
    e.ISO1999Name.clear();
    if (n.empty()) return false;
    std::string out;
    for (size_t i = 0; i < n.size(); ++i) {
      char32_t c = n[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n.size() && n[i + 1] >= 0xDC00 &&
          n[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (n[i + 1] - 0xDC00);
        ++i;
      }
      if (ISO1999Forbidden(c)) return false;
      AppendUtf8(out, c);
      if (out.size() > kISO1999NameLimit) return false;
    }
    e.ISO1999Name = std::move(out);
    return true;
  }
  static void Store(TFileEntry& e, const std::u32string& cps) {
    std::string out;
    for (char32_t c : cps) AppendUtf8(out, c);
    e.ISO1999Name = std::move(out);
  }
  // The kept name is the long name re-encoded without loss, so its key is the long name's.
  static std::u16string KeptKey(const TFileEntry& e) { return FoldCase(e.LongName); }
};

// One hierarchy's names for one directory list. Most lists need no change at all and cost one
// scan; only a list with a changed name builds the set of names already taken.
template <typename H>
void DeriveForDirectory(pDirEntry dir, std::u32string& scratch) {
  std::vector<pFileEntry> changed;
  std::unordered_set<std::u16string> taken;
  if (dir->HasCaseClashes) {
    // Long names that differ only by case (or not at all) are separate files here: the first
    // of them keeps its name, the others are numbered below like any changed name.
    for (pFileEntry e = dir->Files; e; e = e->NextFile)
      if (!H::TryKeep(*e) || !taken.insert(H::KeptKey(*e)).second) changed.push_back(e);
    if (changed.empty()) return;
  } else {
    for (pFileEntry e = dir->Files; e; e = e->NextFile)
      if (!H::TryKeep(*e)) changed.push_back(e);
    if (changed.empty()) return;
    // Unchanged names keep priority: a derived name never takes one that an entry has as is.
    std::unordered_set<pFileEntry> derived(changed.begin(), changed.end());
    for (pFileEntry e = dir->Files; e; e = e->NextFile)
      if (!derived.count(e)) taken.insert(H::KeptKey(*e));
  }

  const TRules& r = H::Rules;
  uint32_t counter = 1;
  for (pFileEntry e : changed) {
    Decode(e->LongName, scratch);
    for (auto& c : scratch)
      if (r.Forbidden(c)) c = U'_';
    if (scratch.empty()) scratch = U"_";
    std::u32string name = Fit(r, scratch, {});
    std::u16string key = FoldCase(ToUtf16(name));
    while (taken.count(key)) {
      const std::string digits = "~" + std::to_string(counter++);
      name = Fit(r, scratch, std::u32string(digits.begin(), digits.end()));
      key = FoldCase(ToUtf16(name));
    }
    taken.insert(std::move(key));
    H::Store(*e, name);
  }
}

}  // namespace

void DeriveHierarchyNames(TCDFiles& cd) {
  std::u32string scratch;
  for (auto& dirPtr : cd.Dirs) {
    pDirEntry dir = dirPtr.get();
    if (cd.JolietFS) {
      DeriveForDirectory<TJolietHierarchy>(dir, scratch);
    } else {
      for (pFileEntry e = dir->Files; e; e = e->NextFile) e->JolietName.clear();
    }
    if (cd.ISO9660v1999FS) {
      DeriveForDirectory<TISO1999Hierarchy>(dir, scratch);
    } else {
      for (pFileEntry e = dir->Files; e; e = e->NextFile) e->ISO1999Name.clear();
    }
  }
}

}  // namespace torvik
