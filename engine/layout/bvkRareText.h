// Compact text fields of the layout records. The layout keeps one record per file, so on trees
// of hundreds of thousands of files the inline size of each field, and every copy of a name,
// is what counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace torvik {

// A string most records never fill in: one pointer while empty instead of a whole string
// object.
template <typename S>
class TRareText {
 public:
  using value_type = typename S::value_type;

  TRareText() = default;
  TRareText(const TRareText& o) : p_(o.p_ ? std::make_unique<S>(*o.p_) : nullptr) {}
  TRareText(TRareText&&) noexcept = default;
  TRareText& operator=(const TRareText& o) {
    if (this != &o) p_ = o.p_ ? std::make_unique<S>(*o.p_) : nullptr;
    return *this;
  }
  TRareText& operator=(TRareText&&) noexcept = default;
  ~TRareText() = default;

  TRareText& operator=(S s) {
    if (s.empty())
      p_.reset();
    else if (p_)
      *p_ = std::move(s);
    else
      p_ = std::make_unique<S>(std::move(s));
    return *this;
  }
  TRareText& operator=(const value_type* s) { return *this = S(s); }

  bool empty() const { return p_ == nullptr; }
  size_t size() const { return p_ ? p_->size() : 0; }
  void clear() { p_.reset(); }
  const S& str() const { return p_ ? *p_ : Empty(); }
  operator const S&() const { return str(); }
  bool ends_with(std::basic_string_view<value_type> tail) const {
    return std::basic_string_view<value_type>(str()).ends_with(tail);
  }
  friend bool operator==(const TRareText& a, std::basic_string_view<value_type> b) {
    return std::basic_string_view<value_type>(a.str()) == b;
  }
  friend bool operator==(const TRareText& a, const TRareText& b) { return a.str() == b.str(); }
  friend std::basic_ostream<value_type>& operator<<(std::basic_ostream<value_type>& os,
                                                    const TRareText& t) {
    return os << t.str();
  }

 private:
  static const S& Empty() {
    static const S empty;
    return empty;
  }
  std::unique_ptr<S> p_;  // null while empty; never holds an empty string
};

// Immutable UTF-16 text whose copies share one buffer: a name and the same name as one of the
// hierarchies writes it are usually equal, and then cost one allocation, not two. Eight bytes
// in the record.
class TSharedText16 {
 public:
  TSharedText16() = default;
  TSharedText16(const TSharedText16& o) noexcept : p_(o.p_) {
    if (p_ != nullptr) p_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  TSharedText16(TSharedText16&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  TSharedText16& operator=(const TSharedText16& o) noexcept {
    TSharedText16 copy(o);
    std::swap(p_, copy.p_);
    return *this;
  }
  TSharedText16& operator=(TSharedText16&& o) noexcept {
    TSharedText16 moved(std::move(o));
    std::swap(p_, moved.p_);
    return *this;
  }
  ~TSharedText16() { Release(); }

  TSharedText16& operator=(std::u16string_view s) {
    TSharedText16 made;
    made.p_ = Make(s);
    std::swap(p_, made.p_);
    return *this;
  }

  bool empty() const { return p_ == nullptr; }
  size_t size() const { return p_ != nullptr ? p_->size : 0; }
  void clear() { Release(); }
  std::u16string_view view() const {
    return p_ != nullptr ? std::u16string_view(Units(p_), p_->size) : std::u16string_view();
  }
  operator std::u16string_view() const { return view(); }
  std::u16string substr(size_t pos, size_t n = std::u16string_view::npos) const {
    return std::u16string(view().substr(pos, n));
  }
  bool ends_with(std::u16string_view tail) const { return view().ends_with(tail); }
  friend bool operator==(const TSharedText16& a, std::u16string_view b) { return a.view() == b; }
  friend bool operator==(const TSharedText16& a, const TSharedText16& b) {
    return a.view() == b.view();
  }

 private:
  struct Block {
    std::atomic<uint32_t> refs;
    uint32_t size;
  };
  static char16_t* Units(Block* b) { return reinterpret_cast<char16_t*>(b + 1); }
  static Block* Make(std::u16string_view s) {
    if (s.empty()) return nullptr;
    void* raw = ::operator new(sizeof(Block) + s.size() * sizeof(char16_t));
    Block* b = new (raw) Block{{1}, uint32_t(s.size())};
    std::memcpy(Units(b), s.data(), s.size() * sizeof(char16_t));
    return b;
  }
  void Release() noexcept {
    Block* b = std::exchange(p_, nullptr);
    if (b != nullptr && b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      b->~Block();
      ::operator delete(b);
    }
  }

  Block* p_ = nullptr;  // null while empty
};

}  // namespace torvik
