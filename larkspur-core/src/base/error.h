// Error values returned by every operation below the Python surface.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace larkspur {

// What kind of failure an Error is; the Python layer picks the exception
// type from it.
enum class ErrorCode {
  kIo,               // file system or kernel: OSError
  kInvalidArgument,  // a rejected argument value: ValueError
  kOutOfRange,       // an index past what exists: IndexError
  kNotImplemented,   // an unsupported variant: NotImplementedError
  kOsText,           // a fixed-text OS failure: OSError
  kFault,            // a broken internal invariant: InternalFault
  kNoMemory,         // a buffer that could not be obtained: MemoryError
  kRaised,           // the binding layer has already set a Python exception
};

// A failure: its code, the system error number (0 when none) and a message.
// With an error number and no message the text is "{strerror} (os error N)".
class Error {
 public:
  Error(ErrorCode code, std::string message, int err = 0)
      : code_(code), errno_(err), message_(std::move(message)) {}

  static Error from_errno(int err) { return Error(ErrorCode::kIo, {}, err); }
  static Error io(std::string message) {
    return Error(ErrorCode::kIo, std::move(message));
  }
  static Error invalid_argument(std::string message) {
    return Error(ErrorCode::kInvalidArgument, std::move(message));
  }
  static Error out_of_range(std::string message) {
    return Error(ErrorCode::kOutOfRange, std::move(message));
  }
  static Error not_implemented(std::string message) {
    return Error(ErrorCode::kNotImplemented, std::move(message));
  }
  static Error os_text(std::string message) {
    return Error(ErrorCode::kOsText, std::move(message));
  }
  static Error no_memory() { return Error(ErrorCode::kNoMemory, {}); }
  static Error raised() { return Error(ErrorCode::kRaised, {}); }

  ErrorCode code() const { return code_; }
  int sys_errno() const { return errno_; }

  // The text that reaches the user.
  std::string text() const;

  // A copy whose text is `prefix` followed by this error's text.
  Error with_prefix(std::string_view prefix) const;

 private:
  ErrorCode code_;
  int errno_;
  std::string message_;
};

// "{strerror} (os error N)", built with strerror_r (safe on pool threads).
std::string os_error_text(int err);

}  // namespace larkspur
