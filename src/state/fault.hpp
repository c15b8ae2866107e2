// The one exception type the core throws for an internal fault. The Python
// boundary catches it at the edge of every entry point and turns it into
// PanicException; nothing else in the core throws on purpose.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace halvex {

class Fault final : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// An operation either yields its value or fails with one message text, which
// the boundary raises as RuntimeError. Internal faults are thrown instead.
struct Failure {
  std::string message;
};

template <class T>
class Outcome {
 public:
  Outcome(T value) : ok_(true), value_(std::move(value)) {}  // NOLINT: implicit by design
  Outcome(Failure failure) : ok_(false), failure_(std::move(failure)) {}  // NOLINT

  bool ok() const noexcept { return ok_; }
  T& value() noexcept { return value_; }
  const T& value() const noexcept { return value_; }
  const std::string& error() const noexcept { return failure_.message; }

 private:
  bool ok_;
  T value_{};
  Failure failure_{};
};

// Result of an operation that succeeds with no value.
struct Unit {};

}  // namespace halvex
