// First-in-first-out queue of one agent's messages: appended at the back and
// handed out whole, oldest first, by moving the storage out. Nothing is ever
// taken from the front alone, so one growable array is enough. An empty
// queue owns no storage, so the many inboxes that are only read cost little.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace halvex {

template <class T>
class Fifo {
 public:
  Fifo() noexcept = default;
  Fifo(Fifo&& o) noexcept
      : buf_(std::exchange(o.buf_, nullptr)), cap_(std::exchange(o.cap_, 0)),
        len_(std::exchange(o.len_, 0)) {}
  Fifo& operator=(Fifo&& o) noexcept {
    if (this != &o) {
      clear_and_free();
      buf_ = std::exchange(o.buf_, nullptr);
      cap_ = std::exchange(o.cap_, 0);
      len_ = std::exchange(o.len_, 0);
    }
    return *this;
  }
  Fifo(const Fifo&) = delete;
  Fifo& operator=(const Fifo&) = delete;
  ~Fifo() { clear_and_free(); }

  std::size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }

  // i-th element from the front (oldest).
  T& operator[](std::size_t i) noexcept { return buf_[i]; }
  const T& operator[](std::size_t i) const noexcept { return buf_[i]; }

  void push_back(T value) {
    if (len_ == cap_) grow(cap_ == 0 ? 4 : cap_ * 2);
    ::new (static_cast<void*>(buf_ + len_)) T(std::move(value));
    ++len_;
  }

  // Everything queued, moved out in one step; this queue is left empty.
  Fifo take_all() noexcept { return std::move(*this); }

  // Puts `front` back ahead of what is queued now, keeping both orders.
  void prepend(Fifo&& front) {
    if (front.empty()) return;
    if (empty()) {
      *this = std::move(front);
      return;
    }
    front.reserve(front.len_ + len_);
    for (std::size_t i = 0; i < len_; ++i) front.push_back(std::move(buf_[i]));
    *this = std::move(front);
  }

  void reserve(std::size_t n) {
    if (n > cap_) grow(n);
  }

 private:
  void grow(std::size_t new_cap) {
    T* nb = static_cast<T*>(::operator new(new_cap * sizeof(T), std::align_val_t{alignof(T)}));
    for (std::size_t i = 0; i < len_; ++i) {
      ::new (static_cast<void*>(nb + i)) T(std::move(buf_[i]));
      buf_[i].~T();
    }
    if (buf_ != nullptr) ::operator delete(buf_, std::align_val_t{alignof(T)});
    buf_ = nb;
    cap_ = new_cap;
  }

  void clear_and_free() noexcept {
    for (std::size_t i = 0; i < len_; ++i) buf_[i].~T();
    if (buf_ != nullptr) ::operator delete(buf_, std::align_val_t{alignof(T)});
    buf_ = nullptr;
    cap_ = len_ = 0;
  }

  T* buf_ = nullptr;
  std::size_t cap_ = 0;
  std::size_t len_ = 0;
};

}  // namespace halvex
