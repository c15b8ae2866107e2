// Compact encodings for records that are written once and read rarely: an
// inbox message is one heap block, and the activity log is a byte journal.
// Both store lengths as LEB128 varints, so the usual short ids cost one byte
// of framing and a record needs one allocation at most.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "state/clock.hpp"

namespace halvex {

namespace packed {

inline std::size_t varint_size(std::uint64_t v) noexcept {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

inline unsigned char* put_varint(unsigned char* p, std::uint64_t v) noexcept {
  while (v >= 0x80) {
    *p++ = static_cast<unsigned char>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<unsigned char>(v);
  return p;
}

inline const unsigned char* get_varint(const unsigned char* p, std::uint64_t& v) noexcept {
  v = 0;
  for (int shift = 0;; shift += 7) {
    const unsigned char b = *p++;
    v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if ((b & 0x80) == 0) return p;
  }
}

inline unsigned char* put_u64(unsigned char* p, std::uint64_t v) noexcept {
  std::memcpy(p, &v, 8);
  return p + 8;
}

inline std::uint64_t get_u64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline unsigned char* put_str(unsigned char* p, std::string_view s) noexcept {
  p = put_varint(p, s.size());
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

inline const unsigned char* get_str(const unsigned char* p, std::string_view& s) noexcept {
  std::uint64_t n;
  p = get_varint(p, n);
  s = std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
  return p + n;
}

inline std::size_t str_size(std::string_view s) noexcept {
  return varint_size(s.size()) + s.size();
}

}  // namespace packed

// One inbox entry: from_agent, an optional to_agent (absent for a
// broadcast), content and timestamp, in a single immutable heap block laid
// out as [holders u32][has_to u8][timestamp u64][from][to?][content], strings
// varint-framed. Nothing ever writes to a block once built, so copies share
// it: a broadcast's copies and an inbox listing cost a count each, and the
// last holder frees the block. The count is atomic because holders are
// dropped on whichever thread drains or lists an inbox. Every holder is an
// inbox slot or a listing's, so the count stays far below 2^32.
class StoredMessage {
 public:
  StoredMessage(std::string_view from_agent, const std::string_view* to_agent,
                std::string_view content, UnixSeconds timestamp) {
    using namespace packed;
    const std::size_t n =
        kHeader + str_size(from_agent) + (to_agent ? str_size(*to_agent) : 0) + str_size(content);
    blob_ = static_cast<unsigned char*>(::operator new(n));
    new (blob_) std::atomic<std::uint32_t>(1);
    blob_[kHasToAt] = to_agent ? 1 : 0;
    unsigned char* p = put_u64(blob_ + kTimestampAt, timestamp);
    p = put_str(p, from_agent);
    if (to_agent) p = put_str(p, *to_agent);
    put_str(p, content);
  }
  StoredMessage(const StoredMessage& o) noexcept : blob_(o.blob_) {
    holders().fetch_add(1, std::memory_order_relaxed);
  }
  StoredMessage(StoredMessage&& o) noexcept : blob_(std::exchange(o.blob_, nullptr)) {}
  StoredMessage& operator=(StoredMessage o) noexcept {
    std::swap(blob_, o.blob_);
    return *this;
  }
  ~StoredMessage() {
    // Acquire-release so the last holder sees every other holder done with it.
    if (blob_ != nullptr && holders().fetch_sub(1, std::memory_order_acq_rel) == 1) {
      ::operator delete(blob_);
    }
  }

  UnixSeconds timestamp() const noexcept { return timestamp_of(blob_); }
  // The time of a block handed over by release_block(), read in place.
  static UnixSeconds timestamp_of(const void* block) noexcept {
    return packed::get_u64(static_cast<const unsigned char*>(block) + kTimestampAt);
  }
  std::string_view from_agent() const noexcept { return fields().from; }
  std::optional<std::string_view> to_agent() const noexcept {
    const Fields f = fields();
    return blob_[kHasToAt] ? std::optional<std::string_view>(f.to) : std::nullopt;
  }
  std::string_view content() const noexcept { return fields().content; }

  // Hands this holder's share of the block over as a bare pointer, leaving
  // this message empty; adopt() turns the pointer back into a holder. For
  // containers that keep blocks inside raw bytes (the activity journal).
  const void* release_block() noexcept { return std::exchange(blob_, nullptr); }
  static StoredMessage adopt(const void* block) noexcept {
    return StoredMessage(static_cast<unsigned char*>(const_cast<void*>(block)));
  }

 private:
  friend struct TestAccess;  // tells whether two messages share one block

  // The fixed header: the holder count, the has-recipient byte, the time.
  static constexpr std::size_t kHasToAt = sizeof(std::uint32_t);
  static constexpr std::size_t kTimestampAt = kHasToAt + 1;
  static constexpr std::size_t kHeader = kTimestampAt + sizeof(UnixSeconds);
  static_assert(sizeof(std::atomic<std::uint32_t>) == kHasToAt, "the count fills its four bytes");

  explicit StoredMessage(unsigned char* blob) noexcept : blob_(blob) {}

  std::atomic<std::uint32_t>& holders() const noexcept {
    return *std::launder(reinterpret_cast<std::atomic<std::uint32_t>*>(blob_));
  }

  struct Fields {
    std::string_view from, to, content;
  };
  Fields fields() const noexcept {
    Fields f;
    const unsigned char* p = packed::get_str(blob_ + kHeader, f.from);
    if (blob_[kHasToAt]) p = packed::get_str(p, f.to);
    packed::get_str(p, f.content);
    return f;
  }

  unsigned char* blob_;
};

}  // namespace halvex
