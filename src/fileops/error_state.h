// The error state a FileOps object reports through: ErrorString and ErrorNumber.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "core/status.h"
#include "core/variant.h"

namespace quillon {

class ErrorState {
 public:
  void Clear() {
    text_.clear();
    number_ = 0;
  }
  // A failure a status-style member detects itself: only the text is kept.
  void SetOwnFailure(std::u16string text) { text_ = std::move(text); }
  // A run-time failure of a value-style member: number and description.
  void SetValueFailure(const RuntimeError& failure) {
    number_ = failure.number();
    text_ = failure.description();
  }

  const std::u16string& text() const { return text_; }
  int32_t number() const { return number_; }

 private:
  std::u16string text_;
  int32_t number_ = 0;
};

// Runs the body of a status-style member: the error state is cleared first, and
// a run-time failure inside the body becomes the result (its number as a 32-bit
// integer) with its description as the error text. ErrorNumber stays 0.
template <typename Body>
Variant RunStatusMember(ErrorState& error, Body&& body) {
  error.Clear();
  try {
    return body();
  } catch (const RuntimeError& failure) {
    error.SetOwnFailure(failure.description());
    return Variant::I4(failure.number());
  } catch (const std::bad_alloc&) {
    const RuntimeError failure(rt::kOutOfMemory);
    error.SetOwnFailure(failure.description());
    return Variant::I4(failure.number());
  }
}

// Runs the body of a value-style member: a run-time failure sets ErrorNumber and
// ErrorString and the result is `on_failure`.
template <typename Body>
Variant RunValueMember(ErrorState& error, Variant on_failure, Body&& body) {
  error.Clear();
  try {
    return body();
  } catch (const RuntimeError& failure) {
    error.SetValueFailure(failure);
  } catch (const std::bad_alloc&) {
    error.SetValueFailure(RuntimeError(rt::kOutOfMemory));
  }
  return on_failure;
}

// A status-style member's own failure: its code (in the width the type library
// declares for the member's result) and its message.
inline Variant OwnFailure(ErrorState& error, Variant code, std::u16string text) {
  error.SetOwnFailure(std::move(text));
  return code;
}

}  // namespace quillon
