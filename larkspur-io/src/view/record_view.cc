// Opening a record file and reading its records, alone or in pool jobs.
#include "larkspur-io/src/view/record_view.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "larkspur-core/src/base/fault.h"
#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/str_cat.h"
#include "larkspur-core/src/base/texts.h"
#include "larkspur-io/src/pool/io_pool.h"
#include "larkspur-io/src/view/manifest.h"

namespace larkspur::io {

namespace {

// Errors of one read_records call, appended by its jobs in the order they
// happen.
struct ErrorList {
  std::mutex mu;
  std::vector<Error> errors;  // guarded by mu
};

Error out_of_range(std::uint64_t index, std::uint64_t count) {
  return Error::io(str_cat("view record index ", index, " out of range (count ",
                           count, ")"));
}

// Reads `run` into consecutive slots of `out`, stopping at the first
// failure.
Status read_run(int fd, std::span<const std::uint64_t> run,
                std::span<std::byte> out, std::uint64_t slot_bytes) {
  const auto slot = static_cast<std::size_t>(slot_bytes);
  for (std::size_t k = 0; k < run.size(); ++k) {
    Status s =
        read_exact_at(fd, out.subspan(k * slot, slot), run[k] * slot_bytes);
    if (!s) return s;
  }
  return ok();
}

// Reads every record from the page cache on the calling thread, or
// reports that it could not: a record not (wholly) cached, the end of the
// file, or any error. The pooled reads then do it all again, with their
// own errors.
bool read_cached_records(const RecordView& view,
                         std::span<const std::uint64_t> indices,
                         std::span<std::byte> out) {
  const auto slot = static_cast<std::size_t>(view.slot_bytes());
  for (std::size_t k = 0; k < indices.size(); ++k) {
    const std::span<std::byte> into = out.subspan(k * slot, slot);
    Result<CachedRead> got =
        read_cached_at(view.fd(), into, indices[k] * view.slot_bytes());
    if (!got || got->state != CachedRead::State::kRead || got->count != slot) {
      return false;
    }
  }
  return true;
}

}  // namespace

Result<RecordView> open_view(std::string_view path) {
  const ViewManifest manifest = load_manifest(path);
  Result<OpenFile> file = open_file(path, FileKinds::kRegularOrBlock);
  if (!file) return std::move(file).error();
  std::uint64_t count =
      manifest.slot_bytes == 0 ? 0 : file->size / manifest.slot_bytes;
  // A declared count only ever lowers what the file can hold.
  if (manifest.grans != 0 && manifest.grans < count) count = manifest.grans;
  return RecordView(std::move(file->fd), manifest.slot_bytes, count);
}

Status check_indices(const RecordView& view,
                     std::span<const std::uint64_t> indices) {
  for (const std::uint64_t index : indices) {
    if (index >= view.count()) return out_of_range(index, view.count());
  }
  return ok();
}

Result<std::size_t> records_size(const RecordView& view, std::size_t n) {
  constexpr std::uint64_t kLimit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const std::uint64_t slot = view.slot_bytes();
  if (slot != 0 && n > kLimit / slot) return capacity_overflow();
  return static_cast<std::size_t>(n * slot);
}

JobLayout job_layout(std::size_t n, std::size_t max_jobs) {
  const std::size_t jobs =
      std::min(std::max<std::size_t>(max_jobs, 1), std::max<std::size_t>(n, 1));
  if (jobs < 2 || n < 4) return {};
  const std::size_t per_job = (n + jobs - 1) / jobs;
  return {(n + per_job - 1) / per_job, per_job};
}

Status read_record(const RecordView& view, std::uint64_t index,
                   std::span<std::byte> out) {
  if (index >= view.count()) return out_of_range(index, view.count());
  if (out.size() != view.slot_bytes()) {
    return fault(str_cat("read_record: buffer of ", out.size(),
                         " bytes for a record of ", view.slot_bytes()));
  }
  return read_exact_at(view.fd(), out, index * view.slot_bytes());
}

Status read_records(const RecordView& view,
                    std::span<const std::uint64_t> indices,
                    std::span<std::byte> out, std::size_t max_jobs) {
  const std::size_t n = indices.size();
  const std::uint64_t slot_bytes = view.slot_bytes();
  if (slot_bytes != 0 && n > out.size() / slot_bytes) {
    return Error::io("read_records: output buffer too small");
  }
  if (Status s = check_indices(view, indices); !s) return s;

  const JobLayout layout = job_layout(n, max_jobs);
  if (layout.jobs == 0) return read_run(view.fd(), indices, out, slot_bytes);
  if (n <= kCallerRecords && slot_bytes != 0 &&
      read_cached_records(view, indices, out)) {
    return ok();
  }

  const std::size_t piece = layout.per_job * slot_bytes;
  if (piece == 0) return fault(std::string(texts::kChunkSizeZero));
  const auto slot = static_cast<std::size_t>(slot_bytes);
  const auto errors = std::make_shared<ErrorList>();
  std::vector<IoJob> jobs;
  jobs.reserve(layout.jobs);
  for (std::size_t start = 0; start < n; start += layout.per_job) {
    const std::size_t len = std::min(layout.per_job, n - start);
    jobs.emplace_back([run = indices.subspan(start, len),
                       dest = out.subspan(start * slot, len * slot),
                       fd = view.fd(), slot_bytes, errors]() -> Status {
      // An I/O failure ends this job only; the others run to their end.
      Status s = read_run(fd, run, dest, slot_bytes);
      if (!s) {
        const std::lock_guard<std::mutex> lock(errors->mu);
        errors->errors.push_back(std::move(s).error());
      }
      return ok();
    });
  }
  // run_jobs returns only after every job finished, so `indices`, `out`
  // and the error list outlive them, and their writes are visible here.
  if (Status ran = run_jobs(std::move(jobs)); !ran) return ran;
  const std::lock_guard<std::mutex> lock(errors->mu);
  if (!errors->errors.empty()) return std::move(errors->errors.front());
  return ok();
}

}  // namespace larkspur::io
