// One activity-log bucket: records appended as packed bytes,
// [kind u8][at u64][field]..., each field varint-framed. A message record
// whose fields are those of an inbox message (sender, recipient if any,
// content, time) holds a share of that message's immutable block instead:
// one tag byte among the records, and the block's pointer in an aligned
// word at the chunk's far end, where pointers are stacked back to front. Its
// time is the message's own. Leak checkers scan aligned words only, so a
// pointer among the packed bytes would make every message of a log that is
// still alive at exit look lost. The log is written and never read by the
// system, so records are kept as compactly as they can be while staying
// whole; tests read them back through for_each_record().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "state/packed.hpp"
#include "state/types.hpp"

namespace halvex {

enum class EventKind : std::uint8_t {
  Claimed = 0,
  Released = 1,
  MessageSent = 2,
  BroadcastSent = 3
};

// A field of a record to append: one borrowed string, or two written back
// to back (a resource key as prefix and name, without building it first).
struct Text {
  std::string_view head;
  std::string_view tail;
  Text() noexcept = default;
  Text(std::string_view s) noexcept : head(s) {}    // NOLINT: any string is a field
  Text(const std::string& s) noexcept : head(s) {}  // NOLINT
  Text(const char* s) noexcept : head(s) {}         // NOLINT
  Text(std::string_view h, std::string_view t) noexcept : head(h), tail(t) {}
  std::size_t size() const noexcept { return head.size() + tail.size(); }
};

// A record to append, borrowing its strings from the caller.
struct EventView {
  EventKind kind;
  UnixSeconds at;
  Text fields[3];
  std::uint8_t field_count;

  static EventView claimed(Text agent_id, Text resource_key, UnixSeconds at) {
    return {EventKind::Claimed, at, {agent_id, resource_key, {}}, 2};
  }
  static EventView released(Text agent_id, Text resource_key, UnixSeconds at) {
    return {EventKind::Released, at, {agent_id, resource_key, {}}, 2};
  }
  static EventView message_sent(Text from_agent, Text to_agent, Text content, UnixSeconds at) {
    return {EventKind::MessageSent, at, {from_agent, to_agent, content}, 3};
  }
  static EventView broadcast_sent(Text from_agent, Text content, UnixSeconds at) {
    return {EventKind::BroadcastSent, at, {from_agent, content, {}}, 2};
  }
};

class Journal {
 public:
  Journal() noexcept = default;
  Journal(Journal&&) noexcept = default;
  Journal& operator=(Journal&& o) noexcept {
    if (this != &o) {
      drop_blocks();
      chunks_ = std::move(o.chunks_);
      count_ = std::exchange(o.count_, 0);
      o.chunks_.clear();
    }
    return *this;
  }
  ~Journal() { drop_blocks(); }

  // A MessageSent (the message has a recipient) or BroadcastSent record
  // whose fields are the message's own, sharing its block.
  void append_message(StoredMessage message) {
    Chunk& c = reserve(1, true);
    c.data[c.used] = message.to_agent() ? kSharedMessageSent : kSharedBroadcastSent;
    const void* block = message.release_block();
    std::memcpy(c.block_slot(c.blocks), &block, sizeof block);
    c.used += 1;
    c.blocks += 1;
    ++count_;
  }

  void append(const EventView& e) {
    using namespace packed;
    std::size_t n = kRecordHeader;
    for (std::uint8_t i = 0; i < e.field_count; ++i) {
      n += varint_size(e.fields[i].size()) + e.fields[i].size();
    }
    Chunk& c = reserve(n, false);
    unsigned char* p = c.data.get() + c.used;
    *p++ = static_cast<unsigned char>(e.kind);
    p = put_u64(p, e.at);
    for (std::uint8_t i = 0; i < e.field_count; ++i) {
      const Text& f = e.fields[i];
      p = put_varint(p, f.size());
      if (!f.head.empty()) std::memcpy(p, f.head.data(), f.head.size());
      p += f.head.size();
      if (!f.tail.empty()) std::memcpy(p, f.tail.data(), f.tail.size());
      p += f.tail.size();
    }
    c.used += n;
    ++count_;
  }

  std::size_t size() const noexcept { return count_; }

 private:
  // Records never straddle chunks; chunks double up to kMaxChunk so a quiet
  // second costs little and a busy one copies nothing when it grows.
  static constexpr std::size_t kFirstChunk = 128;
  static constexpr std::size_t kMaxChunk = 64 * 1024;
  static constexpr std::size_t kWord = sizeof(void*);

  friend struct TestAccess;  // decodes the records

  // A plain record starts [kind u8][at u64].
  static constexpr std::size_t kRecordHeader = 1 + sizeof(UnixSeconds);
  // Tags past EventKind's for records that share a message block: the kind
  // with the top bit set.
  static constexpr unsigned char kShared = 0x80;
  static_assert(static_cast<unsigned char>(EventKind::BroadcastSent) < kShared,
                "a plain record's tag never has the shared bit");
  static constexpr unsigned char kSharedMessageSent =
      kShared | static_cast<unsigned char>(EventKind::MessageSent);
  static constexpr unsigned char kSharedBroadcastSent =
      kShared | static_cast<unsigned char>(EventKind::BroadcastSent);

  // One record as read back: the block of a record that shares one (its
  // time is the block's), or else its fields, borrowed from the chunk.
  struct Record {
    unsigned char tag;
    UnixSeconds at;
    const void* block;
    std::string_view fields[3];
  };

  // Bytes grow from the front, block pointers from the back; the chunk is
  // full where they meet. `cap` is a multiple of the word size and the data
  // comes from operator new[], so every pointer slot is aligned.
  struct Chunk {
    std::unique_ptr<unsigned char[]> data;
    std::size_t used;    // record bytes at the front
    std::size_t blocks;  // pointers at the back
    std::size_t cap;

    std::size_t room() const noexcept { return cap - used - blocks * kWord; }
    // The i-th block pointer appended to this chunk.
    unsigned char* block_slot(std::size_t i) const noexcept {
      return data.get() + cap - (i + 1) * kWord;
    }
  };

  // The one reader of the packed layout: calls f(const Record&) for every
  // record, in order.
  template <class F>
  void for_each_record(F&& f) const {
    using namespace packed;
    for (const Chunk& c : chunks_) {
      const unsigned char* p = c.data.get();
      const unsigned char* end = p + c.used;
      std::size_t next_block = 0;
      while (p < end) {
        Record r{};
        r.tag = *p++;
        if (r.tag == kSharedMessageSent || r.tag == kSharedBroadcastSent) {
          std::memcpy(&r.block, c.block_slot(next_block++), sizeof r.block);
          r.at = StoredMessage::timestamp_of(r.block);
        } else {
          r.at = get_u64(p);
          p += sizeof(UnixSeconds);
          const int nf = r.tag == static_cast<unsigned char>(EventKind::MessageSent) ? 3 : 2;
          for (int i = 0; i < nf; ++i) p = get_str(p, r.fields[i]);
        }
        f(r);
      }
    }
  }

  // Gives back this journal's shares of message blocks.
  void drop_blocks() noexcept {
    for (const Chunk& c : chunks_) {
      for (std::size_t i = 0; i < c.blocks; ++i) {
        const void* block;
        std::memcpy(&block, c.block_slot(i), sizeof block);
        const StoredMessage share = StoredMessage::adopt(block);  // dropped here
      }
    }
    chunks_.clear();
    count_ = 0;
  }

  // The chunk with room for `n` record bytes (and one block pointer when
  // `with_block`), adding one when the last is full.
  Chunk& reserve(std::size_t n, bool with_block) {
    const std::size_t need = n + (with_block ? kWord : 0);
    if (chunks_.empty() || chunks_.back().room() < need) {
      std::size_t cap = chunks_.empty() ? kFirstChunk : chunks_.back().cap * 2;
      if (cap > kMaxChunk) cap = kMaxChunk;
      if (cap < need) cap = (need + kWord - 1) / kWord * kWord;
      chunks_.push_back(Chunk{std::unique_ptr<unsigned char[]>(new unsigned char[cap]), 0, 0, cap});
    }
    return chunks_.back();
  }

  std::vector<Chunk> chunks_;
  std::size_t count_ = 0;
};

}  // namespace halvex
