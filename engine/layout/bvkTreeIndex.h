// The per-folder name index of the layout: finds an entry by its long name under case folding
// without walking the folder's list. A flat open-addressing table of (hash, entry) pairs: it
// keeps no copy of the names (a probe compares against the entry's own LongName), so adding an
// entry allocates nothing most of the time, and a 200,000-entry folder costs 8 MB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace torvik {

struct TFileEntry;

class TNameIndex {
 public:
  // An entry whose LongName equals name under simple case folding, or nullptr. A folder may
  // hold several (names from one listing that differ only by case); the one spelled exactly
  // like name wins, else the one indexed first.
  TFileEntry* Find(std::u16string_view name) const {
    return FindIf(name, [](const TFileEntry*) { return true; });
  }
  // The same among the entries `accept` takes.
  template <typename Accept>
  TFileEntry* FindIf(std::u16string_view name, Accept accept) const {
    if (slots_.empty()) return nullptr;
    const uint64_t h = Hash(name);
    const size_t mask = slots_.size() - 1;
    TFileEntry* folded = nullptr;
    for (size_t i = size_t(h) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.entry == nullptr) return folded;
      if (s.hash != h || s.entry == Tombstone() || !accept(s.entry)) continue;
      switch (Match(s.entry, name)) {
        case 2:
          return s.entry;
        case 1:
          if (folded == nullptr) folded = s.entry;
          break;
        default:
          break;
      }
    }
  }
  // Indexes e under its LongName; other entries may share the name.
  void Insert(TFileEntry* e);
  // Removes e (looked up by its LongName); nothing happens if it is not indexed.
  void Erase(TFileEntry* e);
  size_t Size() const { return used_; }
  void Clear();

  // Hash of the folded form of name; equal for names that compare equal.
  static uint64_t Hash(std::u16string_view name);

 private:
  struct Slot {
    uint64_t hash = 0;
    TFileEntry* entry = nullptr;  // nullptr: never used; Tombstone(): erased
  };
  static TFileEntry* Tombstone();
  // 2: e's LongName is name exactly; 1: equal under case folding; 0: different.
  static int Match(const TFileEntry* e, std::u16string_view name);
  void Grow();

  std::vector<Slot> slots_;  // size is 0 or a power of two
  size_t used_ = 0;          // live entries
  size_t filled_ = 0;        // live entries and tombstones
};

}  // namespace torvik
