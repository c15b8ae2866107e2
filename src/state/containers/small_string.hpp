// An owned byte string in 16 bytes: up to 15 bytes live inline, longer ones in
// one exact-size heap block. Map keys, holders and agent ids are mostly short,
// so most never allocate, and a stored entry costs half of a std::string.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

namespace halvex {

class SmallString {
  static_assert(std::endian::native == std::endian::little, "layout assumes little-endian words");

 public:
  static constexpr std::size_t kInlineCapacity = 15;

  SmallString() noexcept { std::memset(bytes_, 0, sizeof bytes_); }
  // Implicit, like std::string's: a copy of any text.
  SmallString(std::string_view s) { init(s.data(), s.size()); }     // NOLINT
  SmallString(const std::string& s) { init(s.data(), s.size()); }   // NOLINT
  SmallString(const char* s) : SmallString(std::string_view(s)) {}  // NOLINT

  // a + b in one allocation at most.
  static SmallString concat(std::string_view a, std::string_view b) {
    SmallString out(Uninit{});
    char* p = out.alloc(a.size() + b.size());
    if (!a.empty()) std::memcpy(p, a.data(), a.size());
    if (!b.empty()) std::memcpy(p + a.size(), b.data(), b.size());
    return out;
  }

  SmallString(const SmallString& o) { init(o.data(), o.size()); }
  SmallString(SmallString&& o) noexcept {
    std::memcpy(bytes_, o.bytes_, sizeof bytes_);
    std::memset(o.bytes_, 0, sizeof o.bytes_);
  }
  SmallString& operator=(const SmallString& o) {
    if (this != &o) {
      SmallString copy(o);
      *this = std::move(copy);
    }
    return *this;
  }
  SmallString& operator=(SmallString&& o) noexcept {
    if (this != &o) {
      free_heap();
      std::memcpy(bytes_, o.bytes_, sizeof bytes_);
      std::memset(o.bytes_, 0, sizeof o.bytes_);
    }
    return *this;
  }
  ~SmallString() { free_heap(); }

  const char* data() const noexcept {
    return on_heap() ? heap_ptr() : reinterpret_cast<const char*>(bytes_);
  }
  std::size_t size() const noexcept { return on_heap() ? heap_len() : bytes_[kTag]; }
  bool empty() const noexcept { return size() == 0; }
  std::string_view view() const noexcept { return {data(), size()}; }
  operator std::string_view() const noexcept { return view(); }  // NOLINT: a string is its view
  std::string str() const { return std::string(view()); }

  // Equal length first, then equal bytes.
  friend bool operator==(const SmallString& a, std::string_view b) noexcept {
    return a.size() == b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size()) == 0);
  }
  friend bool operator==(const SmallString& a, const SmallString& b) noexcept {
    return a == b.view();
  }
  friend bool operator==(const SmallString& a, const char* b) noexcept {
    return a == std::string_view(b);
  }
  friend bool operator==(const SmallString& a, const std::string& b) noexcept {
    return a == std::string_view(b);
  }
  friend std::ostream& operator<<(std::ostream& os, const SmallString& s) { return os << s.view(); }

 private:
  struct Uninit {};
  explicit SmallString(Uninit) noexcept {}

  static constexpr std::size_t kTag = 15;       // last byte: inline length, or kHeap
  static constexpr unsigned char kHeap = 0xff;  // heap: bytes 0-7 pointer, 8-14 length
  static constexpr std::uint64_t kLenMask = (std::uint64_t{1} << 56) - 1;

  bool on_heap() const noexcept { return bytes_[kTag] == kHeap; }
  char* heap_ptr() const noexcept {
    char* p;
    std::memcpy(&p, bytes_, sizeof p);
    return p;
  }
  std::size_t heap_len() const noexcept {
    std::uint64_t w;
    std::memcpy(&w, bytes_ + 8, sizeof w);
    return static_cast<std::size_t>(w & kLenMask);
  }

  // Sets the length and returns where the bytes go.
  char* alloc(std::size_t n) {
    if (n <= kInlineCapacity) {
      std::memset(bytes_, 0, sizeof bytes_);
      bytes_[kTag] = static_cast<unsigned char>(n);
      return reinterpret_cast<char*>(bytes_);
    }
    char* p = static_cast<char*>(::operator new(n));
    const std::uint64_t w = static_cast<std::uint64_t>(n) | (std::uint64_t{kHeap} << 56);
    std::memcpy(bytes_, &p, sizeof p);
    std::memcpy(bytes_ + 8, &w, sizeof w);
    return p;
  }

  void init(const char* s, std::size_t n) {
    char* p = alloc(n);
    if (n != 0) std::memcpy(p, s, n);
  }

  void free_heap() noexcept {
    if (on_heap()) ::operator delete(heap_ptr());
  }

  alignas(8) unsigned char bytes_[16];
};

static_assert(sizeof(SmallString) == 16);

}  // namespace halvex
