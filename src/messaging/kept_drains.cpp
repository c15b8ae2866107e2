#include "messaging/kept_drains.hpp"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace halvex::kept_drains {
namespace {

struct Kept {
  std::thread::id thread;
  const void* owner;
  Inbox copies;
};

// Calls run under the interpreter lock, so the mutex is never contended; it
// keeps the list sound for callers that hold no such lock (the unit tests).
std::mutex g_lock;
// Never destroyed: an object freed late in the process's exit still finds
// the list whole, and batches left then stay reachable for leak checkers.
std::vector<Kept>& kept_list() {
  static auto* const list = new std::vector<Kept>();
  return *list;
}
// Batches kept by all threads: lets a call skip the list when it is empty.
// Relaxed is enough: a thread only ever looks for its own batches, which its
// own keep() counted.
std::atomic<std::size_t> g_count{0};
// This thread may keep a batch. A plain flag and no object with a
// destructor: a thread_local destructor in a loaded library races with the
// loader's freeing of the thread's storage, as ThreadSanitizer reports.
thread_local bool t_keeps = false;

// Moves one batch that `match` accepts into `out`, false if there is none;
// the caller frees it outside the lock.
template <class Match>
bool take_one(Match match, Inbox& out) {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<Kept>& list = kept_list();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!match(list[i])) continue;
    out = std::move(list[i].copies);
    if (i + 1 != list.size()) list[i] = std::move(list.back());
    list.pop_back();
    g_count.fetch_sub(1, std::memory_order_relaxed);
    return true;
  }
  return false;
}

}  // namespace

void keep(const void* owner, Inbox copies) {
  std::lock_guard<std::mutex> hold(g_lock);
  kept_list().push_back(Kept{std::this_thread::get_id(), owner, std::move(copies)});
  g_count.fetch_add(1, std::memory_order_relaxed);
  t_keeps = true;
}

void release_mine() noexcept {
  if (g_count.load(std::memory_order_relaxed) == 0 || !t_keeps) return;
  t_keeps = false;
  const std::thread::id me = std::this_thread::get_id();
  Inbox batch;
  while (take_one([me](const Kept& k) { return k.thread == me; }, batch)) batch = Inbox{};
}

// Takes the lock whatever the count: objects are freed far less often than
// methods are called, and another thread's keep() is then surely seen.
void release_owner(const void* owner) noexcept {
  Inbox batch;
  while (take_one([owner](const Kept& k) { return k.owner == owner; }, batch)) batch = Inbox{};
}

}  // namespace halvex::kept_drains
