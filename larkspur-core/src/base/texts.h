// Message texts that callers match on, kept word for word.
//
// Several read oddly in this code base (threads that "panic", a division
// by zero where a table has no rows, a "Vec", an "unsendable" object), but
// programs built on this library compare them exactly. They are fixed
// texts: never reword them, only use them from here.
#pragma once

#include <string_view>

namespace larkspur::texts {

// Worker threads.
inline constexpr std::string_view kScopedThreadPanicked =
    "a scoped thread panicked";
inline constexpr std::string_view kFailedToSpawnThread =
    "failed to spawn thread: ";  // then the system error

// Broken invariants and impossible sizes.
inline constexpr std::string_view kDivideByZero = "attempt to divide by zero";
inline constexpr std::string_view kCapacityOverflow = "capacity overflow";
inline constexpr std::string_view kAssertEq =
    "assertion `left == right` failed: ";
inline constexpr std::string_view kIndexOutOfBounds =
    "index out of bounds: the len is ";  // len, " but the index is ", index
inline constexpr std::string_view kChunkSizeZero =
    "chunk size must be non-zero";

// Reads.
inline constexpr std::string_view kEofInsideBuffer =
    "read_exact_at: eof inside buffer";
inline constexpr std::string_view kRingNew = "IoUring::new: ";
inline constexpr std::string_view kSqPush = "SQ push: ";

// Thread-bound objects: "{module}::{class}" then one of these.
inline constexpr std::string_view kSentToAnotherThread =
    " is unsendable, but sent to another thread";
inline constexpr std::string_view kDroppedOnAnotherThread =
    " is unsendable, but is being dropped on another thread";

// Argument conversion.
inline constexpr std::string_view kStrIsNotASequence =
    "Can't extract `str` to `Vec`";

}  // namespace larkspur::texts
