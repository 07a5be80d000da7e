// RecordView: a flat file of equal-sized records read by record index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "larkspur-core/src/base/result.h"
#include "larkspur-core/src/base/unique_fd.h"

namespace larkspur::io {

// The largest number of pool jobs one read_records call creates.
inline constexpr std::size_t kMaxReadJobs = 32;

// Requests of up to this many records are first read from the page cache
// on the calling thread.
inline constexpr std::size_t kCallerRecords = 32;

// How read_records splits a request of n records: `jobs` runs of `per_job`
// consecutive positions (only the last run shorter), or jobs == 0 for the
// sequential route on the calling thread.
struct JobLayout {
  std::size_t jobs = 0;
  std::size_t per_job = 0;

  friend bool operator==(const JobLayout&, const JobLayout&) = default;
};

JobLayout job_layout(std::size_t n, std::size_t max_jobs);

// An open record file: record i is the `slot_bytes` bytes at offset
// i * slot_bytes, for i < count. Owns its read-only descriptor. The
// geometry is fixed when opened; reads never change the object, and
// concurrent reads are safe (positional reads only).
class RecordView {
 public:
  RecordView(UniqueFd fd, std::uint64_t slot_bytes, std::uint64_t count)
      : fd_(std::move(fd)), slot_bytes_(slot_bytes), count_(count) {}

  std::uint64_t slot_bytes() const { return slot_bytes_; }
  std::uint64_t count() const { return count_; }
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::uint64_t slot_bytes_;
  std::uint64_t count_;
};

// Opens the record file `path`, a regular file or a block device, as
// open_file does, with the settings of its manifest. count = size /
// slot_bytes (0 when slot_bytes is 0), lowered to the manifest's grans when
// that is non-zero and smaller. Fails with open_file's errors ("Is a
// directory (os error 21)", a NUL byte in the path, ...).
Result<RecordView> open_view(std::string_view path);

// Fails with "view record index {i} out of range (count {count})" for the
// first index, in request order, that is not below the record count.
Status check_indices(const RecordView& view,
                     std::span<const std::uint64_t> indices);

// The size of n records, or the "capacity overflow" fault when it exceeds
// 2^63 - 1 bytes.
Result<std::size_t> records_size(const RecordView& view, std::size_t n);

// Reads record `index` into `out` (exactly slot_bytes long). Out-of-range
// indices fail as in check_indices, with nothing read.
Status read_record(const RecordView& view, std::uint64_t index,
                   std::span<std::byte> out);

// Reads the records at `indices` into `out`, record k at k * slot_bytes.
// Every index is checked before anything is read. Up to 3 records are read
// on the calling thread; larger requests in up to max(max_jobs, 1) pool
// jobs of ceil(n / jobs) consecutive positions each, unless (up to
// kCallerRecords of them) the page cache holds them all: the calling
// thread then reads them without waiting. On failure the
// contents of `out` are unspecified; of several failed jobs, the error
// recorded first is returned.
Status read_records(const RecordView& view,
                    std::span<const std::uint64_t> indices,
                    std::span<std::byte> out, std::size_t max_jobs);

}  // namespace larkspur::io
