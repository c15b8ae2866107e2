// A concurrent hash map split into shard_amount() shards, each a table under
// its own reader-writer lock. Every operation hashes its key once with the
// map's SipHash-1-3 keys; bits 57-log2(shards)..56 of the hash pick the shard
// and the top 7 bits are the table's tag. Handles and references returned by
// entry(), get() and iter() keep their shard locked for as long as they live.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>

#include "state/fault.hpp"
#include "state/containers/hash_keys.hpp"
#include "state/containers/shard_lock.hpp"
#include "state/containers/siphash.hpp"
#include "state/containers/small_string.hpp"
#include "state/containers/table.hpp"
#include "state/platform/platform.hpp"

namespace halvex {

template <class K>
struct KeyOps;

template <>
struct KeyOps<SmallString> {
  using View = std::string_view;
  static View view(const SmallString& k) noexcept { return k.view(); }
  static bool equal(const SmallString& stored, View k) noexcept { return stored == k; }
  static std::uint64_t hash(const HashKeys& keys, View k) noexcept {
    return siphash13_str(keys.k0, keys.k1, k);
  }
};

template <>
struct KeyOps<std::uint64_t> {
  using View = std::uint64_t;
  static View view(std::uint64_t k) noexcept { return k; }
  static bool equal(std::uint64_t stored, View k) noexcept { return stored == k; }
  static std::uint64_t hash(const HashKeys& keys, View k) noexcept {
    return siphash13_u64(keys.k0, keys.k1, k);
  }
};

// Gives up a hold early. Unlike the standard locks' release(), this unlocks;
// a hold already given up is left alone.
template <class Lock>
void unlock_if_held(Lock& lock) noexcept {
  if (lock.owns_lock()) lock.unlock();
}

template <class K, class V>
class ShardedMap {
  using Ops = KeyOps<K>;
  using TableT = Table<K, V, Ops>;

  // A shard's lock word shares no cache line with another shard's: two
  // threads reading under neighbouring locks measured 74 ns per lock and
  // unlock when the words share a line, 57 ns apart (two-core EPYC VM).
  // 128 rather than 64 because Intel processors fetch lines in pairs; on
  // that AMD machine 64 and 128 bytes apart measured the same (57, 59 ns).
  struct alignas(128) Shard {
    ShardLock lock;
    TableT table;
  };
  static_assert(sizeof(Shard) == 128, "a shard must fill exactly one 128-byte slot");

 public:
  using View = typename Ops::View;
  using Slot = typename TableT::Slot;

  ShardedMap() : keys_(next_map_keys()) {
    const std::size_t n = shard_amount();
    if (!(n > 1)) throw Fault("assertion failed: shard_amount > 1");
    if (!std::has_single_bit(n)) throw Fault("assertion failed: shard_amount.is_power_of_two()");
    shard_count_ = n;
    shift_ = 64u - static_cast<unsigned>(std::countr_zero(n));
    shards_ = std::make_unique<Shard[]>(n);
  }
  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  // The write-locked handle that entry() returns: occupied (the key was
  // present) or vacant (absent). Dropping it releases the lock; dropping a
  // vacant handle without insert() leaves the map as it was.
  class Entry {
   public:
    Entry(Entry&&) noexcept = default;
    Entry& operator=(Entry&&) noexcept = default;

    bool occupied() const noexcept { return found_; }

    // Occupied: the stored key and value.
    const K& key() const noexcept { return table_->slot(index_).key; }
    V& get() noexcept { return table_->slot(index_).value; }

    // Occupied: takes the entry out, returns its value and releases the lock.
    V remove() {
      V out = table_->take(index_);
      unlock_if_held(guard_);
      return out;
    }

    // Vacant: stores the key passed to entry() with `value` and returns the
    // stored value, still under the lock.
    V& insert(V value) {
      found_ = true;
      K key = key_ ? std::move(*key_) : K(view_);
      key_.reset();
      return table_->emplace_at(index_, hash_, std::move(key), std::move(value));
    }

    // The stored value, inserting `value` first if the entry is vacant.
    V& or_insert(V value) { return found_ ? get() : insert(std::move(value)); }

    // Gives up the lock early; the handle must not be used afterwards.
    void release() noexcept { unlock_if_held(guard_); }

   private:
    friend class ShardedMap;
    Entry(std::unique_lock<ShardLock> guard, TableT* table, std::size_t index, std::uint64_t hash,
          bool found, std::optional<K> key, View view)
        : guard_(std::move(guard)),
          table_(table),
          index_(index),
          hash_(hash),
          found_(found),
          key_(found ? std::nullopt : std::move(key)),
          view_(view) {}

    std::unique_lock<ShardLock> guard_;
    TableT* table_;
    std::size_t index_;
    std::uint64_t hash_;
    bool found_;
    std::optional<K> key_;  // the owned key of entry(), kept for a vacant insert
    View view_;             // the borrowed key of entry_ref(); unused when key_ is set
  };

  // A read-locked reference to one value, or nothing.
  class ReadRef {
   public:
    ReadRef() noexcept = default;
    explicit operator bool() const noexcept { return value_ != nullptr; }
    const V& operator*() const noexcept { return *value_; }
    const V* operator->() const noexcept { return value_; }

   private:
    friend class ShardedMap;
    ReadRef(std::shared_lock<ShardLock> guard, const V* value) noexcept
        : guard_(std::move(guard)), value_(value) {}
    std::shared_lock<ShardLock> guard_;
    const V* value_ = nullptr;
  };

  // Walks the shards in index order, each under its read lock (an empty
  // shard too), releasing a shard when moving on. Not a snapshot of the map.
  class Iter {
   public:
    // The next entry, or nullptr at the end. The pointer is valid until the
    // iteration leaves the entry's shard.
    const Slot* next() {
      while (shard_ < map_->shard_count_) {
        Shard& sh = map_->shards_[shard_];
        if (!guard_.owns_lock()) {
          guard_ = std::shared_lock<ShardLock>(sh.lock);
          slot_ = 0;
        }
        slot_ = sh.table.next_full(slot_);
        if (slot_ < sh.table.capacity()) return &sh.table.slot(slot_++);
        unlock_if_held(guard_);
        ++shard_;
      }
      return nullptr;
    }

   private:
    friend struct TestAccess;  // asks which shard the iteration is in
    friend class ShardedMap;
    explicit Iter(const ShardedMap* map) noexcept : map_(map) {}
    const ShardedMap* map_;
    std::size_t shard_ = 0;
    std::size_t slot_ = 0;
    std::shared_lock<ShardLock> guard_;
  };

  // A key's hash, with the loads of its shard and of the slots its lookup
  // will read started. Passing it to the *_hashed operations saves hashing
  // again; preparing the keys of two maps before locking either lets their
  // cache misses overlap.
  struct Prepared {
    std::uint64_t hash;
  };
  Prepared prepare(View key) const noexcept {
    const std::uint64_t h = hash(key);
    const Shard& sh = shard_for(h);
    platform::prefetch(&sh);
    sh.table.prefetch(h);
    return {h};
  }

  // Takes the key's shard write lock, grows the shard's table if it has no
  // room for one more entry, then looks the key up once.
  Entry entry(K key) {
    const Prepared p{hash(Ops::view(key))};
    return entry_hashed(std::move(key), p);
  }
  // `p` must be prepare() of this key.
  Entry entry_hashed(K key, Prepared p) {
    std::optional<K> owned(std::move(key));
    // The view borrows `owned`, which stays put until the lookup is done.
    return open_entry(Ops::view(*owned), p.hash, std::move(owned));
  }

  // As entry(), for a borrowed key: a K is made from it only if a vacant
  // handle is inserted into. `key` must outlive the handle.
  Entry entry_ref(View key) { return entry_ref_hashed(key, Prepared{hash(key)}); }
  // `p` must be prepare() of this key.
  Entry entry_ref_hashed(View key, Prepared p) { return open_entry(key, p.hash, std::nullopt); }

  // Stores or overwrites; returns the previous value if there was one. The
  // stored key is kept on an overwrite.
  std::optional<V> insert(K key, V value) {
    Entry e = entry(std::move(key));
    return put(e, std::move(value));
  }

  // insert() for a borrowed key, copied only when it is new.
  std::optional<V> insert_ref(View key, V value) {
    return insert_ref_hashed(key, Prepared{hash(key)}, std::move(value));
  }
  std::optional<V> insert_ref_hashed(View key, Prepared p, V value) {
    Entry e = entry_ref_hashed(key, p);
    return put(e, std::move(value));
  }

  ReadRef get(View key) const {
    const std::uint64_t h = hash(key);
    Shard& sh = shard_for(h);
    // Control bytes and slot load together instead of one after the other.
    sh.table.prefetch(h);
    std::shared_lock<ShardLock> guard(sh.lock);
    const std::size_t i = sh.table.find(h, key);
    if (i == TableT::kNotFound) return ReadRef();  // guard released here
    return ReadRef(std::move(guard), &sh.table.slot(i).value);
  }

  Iter iter() const noexcept { return Iter(this); }

  template <class Fn>
  void for_each(Fn&& fn) const {
    Iter it = iter();
    while (const Slot* s = it.next()) fn(s->key, s->value);
  }

  std::uint64_t hash(View key) const noexcept { return Ops::hash(keys_, key); }

 private:
  friend struct TestAccess;  // counts entries, reads the locks, keys and shards

  Entry open_entry(View v, std::uint64_t h, std::optional<K>&& key) {
    Shard& sh = shard_for(h);
    std::unique_lock<ShardLock> guard(sh.lock);
    sh.table.reserve_one(hasher());
    const auto probe = sh.table.find_or_prepare(h, v);
    return Entry(std::move(guard), &sh.table, probe.index, h, probe.found, std::move(key), v);
  }

  static std::optional<V> put(Entry& e, V value) {
    if (!e.occupied()) {
      e.insert(std::move(value));
      return std::nullopt;
    }
    std::optional<V> old(std::move(e.get()));
    e.get() = std::move(value);
    return old;
  }

  std::size_t shard_index(std::uint64_t h) const noexcept {
    return static_cast<std::size_t>((h << 7) >> shift_);
  }
  Shard& shard_for(std::uint64_t h) const noexcept { return shards_[shard_index(h)]; }
  auto hasher() const noexcept {
    return [keys = keys_](View k) { return Ops::hash(keys, k); };
  }

  HashKeys keys_;
  std::size_t shard_count_ = 0;
  unsigned shift_ = 0;
  // Shards are mutated through const operations (locks); they are the
  // map's synchronised interior.
  mutable std::unique_ptr<Shard[]> shards_;
};

}  // namespace halvex
