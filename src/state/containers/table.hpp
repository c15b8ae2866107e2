// The open-addressing hash table that lives inside one map shard.
//
// One hash per operation: its top 7 bits are a tag kept in a control byte per
// slot, and its low bits pick where probing starts. Probing looks at 16
// control bytes at a time (one SSE2 compare where available) and moves in a
// triangular sequence of 16-slot windows, which visits every window of a
// power-of-two table. The control array carries a mirror of its first 16
// bytes after the end, so a window that runs off the end can be read in one
// load. The table is not thread-safe; the shard's lock guards it.
#pragma once

#include <bit>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

// SSE2 is part of every x86-64 processor. GCC and clang say so with
// __SSE2__, MSVC with _M_X64 alone (or _M_IX86_FP on 32-bit x86).
#if defined(HALVEX_TABLE_SSE2) || defined(__SSE2__) || defined(_M_X64) || \
    (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define HALVEX_TABLE_SSE2 1
#include <emmintrin.h>
#endif
// The byte loop is four times slower per lookup (30 ns against 7 ns on a
// 1024-entry table), so an x86-64 build without the compare is a mistake.
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(HALVEX_TABLE_SSE2)
#error "x86-64 build without the SSE2 group scan of the shard table"
#endif

#include "state/debug_assert.hpp"
#include "state/platform/platform.hpp"

namespace halvex {

namespace table_detail {

using ctrl_t = std::int8_t;
// A full slot's control byte is its 7-bit tag (0..127); every other state is
// negative, so "is this slot full" is one sign test.
constexpr ctrl_t kEmpty = -128;   // 0b10000000
constexpr ctrl_t kDeleted = -2;   // 0b11111110
constexpr ctrl_t kSentinel = -1;  // padding past a small table's mirror; matches nothing
static_assert(kEmpty < kDeleted && kDeleted < kSentinel,
              "match_free() takes every control byte below the sentinel as free");
// One SSE2 register of control bytes: a window is probed with one compare.
constexpr std::size_t kGroupWidth = 16;
static_assert(kGroupWidth <= 16, "a window's match mask must fit the low 16 bits");

// Position of the lowest set bit of a non-zero match mask.
inline std::size_t lowest_bit(std::uint32_t mask) noexcept {
  return static_cast<std::size_t>(std::countr_zero(mask));
}

inline ctrl_t tag_of(std::uint64_t hash) noexcept { return static_cast<ctrl_t>(hash >> 57); }

// A full slot holds a tag; empty, deleted and sentinel are all negative.
constexpr bool is_full(ctrl_t c) noexcept { return c >= 0; }
constexpr bool is_empty(ctrl_t c) noexcept { return c == kEmpty; }

// The windows one hash visits: a triangular sequence of 16-slot steps from
// the hash's low bits, which reaches every window of a power-of-two table.
class ProbeSeq {
 public:
  ProbeSeq(std::uint64_t hash, std::size_t mask) noexcept
      : mask_(mask), pos_(static_cast<std::size_t>(hash) & mask) {}
  std::size_t offset() const noexcept { return pos_; }
  // The table index of the current window's i-th slot.
  std::size_t offset(std::size_t i) const noexcept { return (pos_ + i) & mask_; }
  void next() noexcept {
    // Every window has been seen: the table has no empty slot to stop at.
    HALVEX_DEBUG_ASSERT(step_ <= mask_);
    step_ += kGroupWidth;
    pos_ = (pos_ + step_) & mask_;
  }

 private:
  std::size_t mask_;
  std::size_t pos_;
  std::size_t step_ = 0;
};

// A bit mask with one bit per control byte of a 16-byte window.
class Group {
 public:
  explicit Group(const ctrl_t* p) noexcept {
#if defined(HALVEX_TABLE_SSE2)
    ctrl_ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
#else
    std::memcpy(bytes_, p, kGroupWidth);
#endif
  }

  std::uint32_t match(ctrl_t tag) const noexcept {
#if defined(HALVEX_TABLE_SSE2)
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_set1_epi8(tag), ctrl_)));
#else
    std::uint32_t m = 0;
    for (std::size_t i = 0; i < kGroupWidth; ++i) m |= std::uint32_t{bytes_[i] == tag} << i;
    return m;
#endif
  }

  std::uint32_t match_empty() const noexcept { return match(kEmpty); }

  // Empty or deleted: every control byte below the sentinel.
  std::uint32_t match_free() const noexcept {
#if defined(HALVEX_TABLE_SSE2)
    return static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpgt_epi8(_mm_set1_epi8(kSentinel), ctrl_)));
#else
    std::uint32_t m = 0;
    for (std::size_t i = 0; i < kGroupWidth; ++i) m |= std::uint32_t{bytes_[i] < kSentinel} << i;
    return m;
#endif
  }

 private:
#if defined(HALVEX_TABLE_SSE2)
  __m128i ctrl_;
#else
  ctrl_t bytes_[kGroupWidth];
#endif
};

}  // namespace table_detail

// KeyOps<K> supplies View (the borrowed form of K), view(), equal() and hash().
template <class K, class V, class KeyOps>
class Table {
 public:
  using View = typename KeyOps::View;
  struct Slot {
    K key;
    V value;
  };
  static constexpr std::size_t kNotFound = ~std::size_t{0};

  Table() noexcept = default;
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;
  ~Table() { destroy(); }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Makes sure one more entry fits without growing. Called before every
  // lookup that may insert, so that the insert never moves slots.
  template <class Hasher>
  void reserve_one(const Hasher& hasher) {
    if (growth_left_ > 0) return;
    // Mostly tombstones: rebuild at the same size. Otherwise double.
    std::size_t new_cap = capacity_ == 0 ? kMinCapacity : capacity_ * 2;
    if (capacity_ >= table_detail::kGroupWidth && size_ <= max_load(capacity_) / 2)
      new_cap = capacity_;
    rehash(new_cap, hasher);
    HALVEX_DEBUG_ASSERT(growth_left_ > 0);
  }

  struct Probe {
    std::size_t index;  // the found slot, or the slot an insert would use
    bool found;
  };

  // One probe that both finds the key and remembers where it would go.
  // Requires reserve_one() first when the caller may insert.
  Probe find_or_prepare(std::uint64_t hash, View key) const noexcept {
    using namespace table_detail;
    const ctrl_t tag = tag_of(hash);
    std::size_t free_slot = kNotFound;
    for (ProbeSeq seq(hash, capacity_ - 1);; seq.next()) {
      const Group g(ctrl_ + seq.offset());
      for (std::uint32_t m = g.match(tag); m != 0; m &= m - 1) {
        const std::size_t i = seq.offset(lowest_bit(m));
        if (KeyOps::equal(slots_[i].key, key)) return {i, true};
      }
      if (free_slot == kNotFound) {
        const std::uint32_t f = g.match_free();
        if (f != 0) free_slot = seq.offset(lowest_bit(f));
      }
      if (g.match_empty() != 0) return {free_slot, false};
    }
  }

  // Starts loading the control bytes and the first slot that a lookup of
  // `hash` will read, without the shard lock: the cache misses of a large
  // table then overlap with other work (another map's hash and prefetch, the
  // lock). Reads only the relaxed atomic copy of the layout, so a concurrent
  // rehash makes it touch stale or freed memory at worst, which a prefetch
  // may do: it never faults and changes nothing.
  void prefetch(std::uint64_t hash) const noexcept {
    const std::uintptr_t base = hint_slots_.load(std::memory_order_relaxed);
    const std::size_t mask = hint_mask_.load(std::memory_order_relaxed);
    if (base == 0) return;
    const std::size_t pos = static_cast<std::size_t>(hash) & mask;
    const std::uintptr_t ctrl = base + (mask + 1) * sizeof(Slot) + pos;
    platform::prefetch(reinterpret_cast<const void*>(ctrl));
    platform::prefetch(reinterpret_cast<const void*>(base + pos * sizeof(Slot)));
  }

  std::size_t find(std::uint64_t hash, View key) const noexcept {
    if (size_ == 0) return kNotFound;
    const Probe p = find_or_prepare(hash, key);
    return p.found ? p.index : kNotFound;
  }

  // Stores a new entry at the slot find_or_prepare chose.
  V& emplace_at(std::size_t index, std::uint64_t hash, K&& key, V&& value) {
    HALVEX_DEBUG_ASSERT(index < capacity_ && !table_detail::is_full(ctrl_[index]));
    HALVEX_DEBUG_ASSERT(growth_left_ > 0 || !table_detail::is_empty(ctrl_[index]));
    Slot* s = ::new (static_cast<void*>(slots_ + index)) Slot{std::move(key), std::move(value)};
    if (table_detail::is_empty(ctrl_[index])) --growth_left_;
    set_ctrl(index, table_detail::tag_of(hash));
    ++size_;
    return s->value;
  }

  Slot& slot(std::size_t index) noexcept {
    HALVEX_DEBUG_ASSERT(index < capacity_ && table_detail::is_full(ctrl_[index]));
    return slots_[index];
  }
  const Slot& slot(std::size_t index) const noexcept {
    HALVEX_DEBUG_ASSERT(index < capacity_ && table_detail::is_full(ctrl_[index]));
    return slots_[index];
  }

  // Moves the value out, destroys the slot and frees it.
  V take(std::size_t index) {
    using namespace table_detail;
    HALVEX_DEBUG_ASSERT(index < capacity_ && is_full(ctrl_[index]));
    V out = std::move(slots_[index].value);
    slots_[index].~Slot();
    --size_;
    // If no probe window through this slot was ever full, no probe sequence
    // depends on it and it can go back to empty; otherwise leave a tombstone.
    bool never_full = false;
    if (capacity_ >= kGroupWidth) {
      const std::size_t before = (index - kGroupWidth) & (capacity_ - 1);
      const std::uint32_t empty_after = Group(ctrl_ + index).match_empty();
      const std::uint32_t empty_before = Group(ctrl_ + before).match_empty();
      never_full = empty_after != 0 && empty_before != 0 &&
                   static_cast<std::size_t>(std::countr_zero(empty_after)) +
                           static_cast<std::size_t>(
                               std::countl_zero(static_cast<std::uint16_t>(empty_before))) <
                       kGroupWidth;
    }
    if (never_full) {
      set_ctrl(index, kEmpty);
      ++growth_left_;
    } else {
      set_ctrl(index, kDeleted);
    }
    return out;
  }

  // Index of the first full slot at or after `from`, or capacity().
  std::size_t next_full(std::size_t from) const noexcept {
    while (from < capacity_ && !table_detail::is_full(ctrl_[from])) ++from;
    return from;
  }

 private:
  // Smallest table: most keys of a map shard that is used at all are few.
  static constexpr std::size_t kMinCapacity = 4;
  static_assert((kMinCapacity & (kMinCapacity - 1)) == 0, "probing masks with capacity - 1");
  // Load factor 7/8: a probe still meets an empty byte in its first window
  // nearly always; a table below 8 slots keeps one slot empty so a lookup of a
  // missing key always stops.
  static std::size_t max_load(std::size_t cap) noexcept {
    return cap - cap / 8 - (cap < 8 ? 1 : 0);
  }

  static std::size_t ctrl_bytes(std::size_t cap) noexcept {
    return cap + table_detail::kGroupWidth;
  }
  static std::size_t alloc_bytes(std::size_t cap) noexcept {
    return cap * sizeof(Slot) + ctrl_bytes(cap);
  }

  void set_ctrl(std::size_t i, table_detail::ctrl_t c) noexcept {
    ctrl_[i] = c;
    if (i < table_detail::kGroupWidth) ctrl_[capacity_ + i] = c;  // the mirror
  }

  template <class Hasher>
  void rehash(std::size_t new_cap, const Hasher& hasher) {
    using namespace table_detail;
    // Allocate first: if this throws, the table is untouched.
    void* mem = ::operator new(alloc_bytes(new_cap), std::align_val_t{alignof(Slot)});
    Slot* old_slots = slots_;
    ctrl_t* old_ctrl = ctrl_;
    const std::size_t old_cap = capacity_;

    slots_ = static_cast<Slot*>(mem);
    ctrl_ = reinterpret_cast<ctrl_t*>(static_cast<char*>(mem) + new_cap * sizeof(Slot));
    capacity_ = new_cap;
    std::memset(ctrl_, kEmpty, new_cap);
    // Bytes past the mirror of a table smaller than a window never match.
    std::memset(ctrl_ + new_cap, kSentinel, kGroupWidth);
    std::memcpy(ctrl_ + new_cap, ctrl_, new_cap < kGroupWidth ? new_cap : kGroupWidth);
    growth_left_ = max_load(new_cap) - size_;
    hint_slots_.store(reinterpret_cast<std::uintptr_t>(mem), std::memory_order_relaxed);
    hint_mask_.store(new_cap - 1, std::memory_order_relaxed);

    for (std::size_t i = 0; i < old_cap; ++i) {
      if (!is_full(old_ctrl[i])) continue;
      Slot& s = old_slots[i];
      const std::uint64_t h = hasher(KeyOps::view(s.key));
      const std::size_t target = free_slot_for(h);
      ::new (static_cast<void*>(slots_ + target)) Slot{std::move(s.key), std::move(s.value)};
      s.~Slot();
      set_ctrl(target, tag_of(h));
    }
    if (old_slots != nullptr) ::operator delete(old_slots, std::align_val_t{alignof(Slot)});
    check_layout();
  }

  // The layout's invariants, after every rebuild: a power-of-two capacity;
  // full control bytes counted by size_; room left within the load limit;
  // the mirror equal to the first window, and sentinels past it.
  void check_layout() const noexcept {
#if defined(HALVEX_DEBUG_ASSERTS)
    using namespace table_detail;
    HALVEX_DEBUG_ASSERT(capacity_ >= kMinCapacity && (capacity_ & (capacity_ - 1)) == 0);
    HALVEX_DEBUG_ASSERT(size_ + growth_left_ <= max_load(capacity_));
    std::size_t full = 0;
    for (std::size_t i = 0; i < capacity_; ++i) full += is_full(ctrl_[i]);
    HALVEX_DEBUG_ASSERT(full == size_);
    for (std::size_t i = 0; i < kGroupWidth; ++i) {
      HALVEX_DEBUG_ASSERT(ctrl_[capacity_ + i] == (i < capacity_ ? ctrl_[i] : kSentinel));
    }
#endif
  }

  // First free slot on h's probe sequence (used while rebuilding, no deletes).
  std::size_t free_slot_for(std::uint64_t h) const noexcept {
    using namespace table_detail;
    for (ProbeSeq seq(h, capacity_ - 1);; seq.next()) {
      const std::uint32_t f = Group(ctrl_ + seq.offset()).match_free();
      if (f != 0) return seq.offset(lowest_bit(f));
    }
  }

  void destroy() noexcept {
    if (slots_ == nullptr) return;
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (table_detail::is_full(ctrl_[i])) slots_[i].~Slot();
    }
    ::operator delete(slots_, std::align_val_t{alignof(Slot)});
    slots_ = nullptr;
    ctrl_ = nullptr;
    capacity_ = size_ = growth_left_ = 0;
    hint_slots_.store(0, std::memory_order_relaxed);
  }

  Slot* slots_ = nullptr;
  table_detail::ctrl_t* ctrl_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t growth_left_ = 0;
  // The layout as prefetch() reads it, outside the lock.
  std::atomic<std::uintptr_t> hint_slots_{0};
  std::atomic<std::size_t> hint_mask_{0};
};

}  // namespace halvex
