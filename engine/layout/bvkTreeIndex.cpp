#include "layout/bvkTreeIndex.h"

#include "layout/bvkTreeTypes.h"
#include "platform/bvkText.h"

namespace torvik {

TFileEntry* TNameIndex::Tombstone() {
  static TFileEntry tombstone;
  return &tombstone;
}

uint64_t TNameIndex::Hash(std::u16string_view name) {
  uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a over the folded units
  for (char16_t c : name) {
    h ^= FoldCase(c);
    h *= 0x100000001B3ull;
  }
  // FNV's low bits are weak; the table indexes by them, so mix the high bits down.
  h ^= h >> 32;
  h *= 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

int TNameIndex::Match(const TFileEntry* e, std::u16string_view name) {
  if (e->LongName == name) return 2;
  return SameTextI(e->LongName, name) ? 1 : 0;
}

void TNameIndex::Insert(TFileEntry* e) {
  if ((filled_ + 1) * 2 > slots_.size()) Grow();
  const uint64_t h = Hash(e->LongName);
  const size_t mask = slots_.size() - 1;
  size_t i = size_t(h) & mask;
  while (slots_[i].entry != nullptr) i = (i + 1) & mask;
  slots_[i] = Slot{h, e};
  ++used_;
  ++filled_;
}

void TNameIndex::Erase(TFileEntry* e) {
  if (slots_.empty()) return;
  const uint64_t h = Hash(e->LongName);
  const size_t mask = slots_.size() - 1;
  for (size_t i = size_t(h) & mask; slots_[i].entry != nullptr; i = (i + 1) & mask) {
    if (slots_[i].entry == e) {
      slots_[i].entry = Tombstone();  // keeps the probe chains behind it intact
      --used_;
      return;
    }
  }
}

void TNameIndex::Clear() {
  slots_.clear();
  slots_.shrink_to_fit();
  used_ = filled_ = 0;
}

void TNameIndex::Grow() {
  size_t capacity = slots_.empty() ? 8 : slots_.size();
  while ((used_ + 1) * 2 > capacity) capacity *= 2;
  if (capacity == slots_.size() && filled_ == used_) capacity *= 2;
  std::vector<Slot> old;
  old.swap(slots_);
  slots_.assign(capacity, Slot{});
  const size_t mask = capacity - 1;
  for (const Slot& s : old) {
    if (s.entry == nullptr || s.entry == Tombstone()) continue;
    size_t i = size_t(s.hash) & mask;
    while (slots_[i].entry != nullptr) i = (i + 1) & mask;
    slots_[i] = s;
  }
  filled_ = used_;
}

}  // namespace torvik
