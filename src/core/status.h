// Status: the outcome of an operation of the platform layer or an engine.
// A failure carries the run-time error number a member reports for it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "core/errors.h"

namespace quillon {

class Status {
 public:
  Status() = default;  // success
  static Status Ok() { return Status(); }
  // A run-time failure with its standard description.
  static Status Error(int32_t number) {
    return Status(number, std::u16string(RuntimeErrorDescription(number)));
  }
  static Status Error(int32_t number, std::u16string description) {
    return Status(number, std::move(description));
  }

  bool ok() const { return number_ == 0; }
  int32_t number() const { return number_; }
  const std::u16string& description() const { return description_; }

 private:
  Status(int32_t number, std::u16string description)
      : number_(number), description_(std::move(description)) {}

  int32_t number_ = 0;
  std::u16string description_;
};

// A run-time failure in flight. Conversions and table operations throw it; members
// catch it where their error handling is armed and record it in their own style.
class RuntimeError : public std::exception {
 public:
  explicit RuntimeError(int32_t number) : status_(Status::Error(number)) {}
  explicit RuntimeError(Status status) : status_(std::move(status)) {}

  int32_t number() const { return status_.number(); }
  const std::u16string& description() const { return status_.description(); }
  const Status& status() const { return status_; }
  const char* what() const noexcept override { return "quillon run-time error"; }

 private:
  Status status_;
};

// Throws the failure a status carries; does nothing for success.
inline void ThrowIfFailed(const Status& status) {
  if (!status.ok()) throw RuntimeError(status);
}

}  // namespace quillon
