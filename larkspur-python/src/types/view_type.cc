// View: records of a flat file read by index, sized by an optional manifest.
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "larkspur-io/src/view/record_view.h"
#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

Result<io::RecordView> make(std::string path) {
  return blocking([&] { return io::open_view(path); });
}

std::uint64_t len(const io::RecordView& self) { return self.count(); }

std::uint64_t slot_bytes(const io::RecordView& self) {
  return self.slot_bytes();
}

// The descriptor is released with the object, never before.
Status close(const io::RecordView& /*self*/) { return ok(); }

Result<PyRef> read_record(const io::RecordView& self, std::uint64_t index) {
  if (Status s = io::check_indices(self, {&index, 1}); !s) {
    return std::move(s).error();
  }
  PyRef record = new_bytes(self.slot_bytes());
  if (!record) return Error::raised();
  const std::span<std::byte> into(bytes_data(record), self.slot_bytes());
  Status s = blocking([&] { return io::read_record(self, index, into); });
  if (!s) return std::move(s).error();
  return record;
}

// The records are read straight into the bytes object that is returned,
// with the interpreter lock released; it is shared with Python only once
// every record is in place.
Result<PyRef> read_records(const io::RecordView& self,
                           std::vector<std::uint64_t> indices) {
  if (Status s = io::check_indices(self, indices); !s) {
    return std::move(s).error();
  }
  Result<std::size_t> size = io::records_size(self, indices.size());
  if (!size) return std::move(size).error();
  PyRef out = new_bytes(*size);
  if (!out) return Error::raised();
  const std::span<std::byte> into(bytes_data(out), *size);
  Status s = blocking(
      [&] { return io::read_records(self, indices, into, io::kMaxReadJobs); });
  if (!s) return std::move(s).error();
  return out;
}

constexpr auto kView = declare_class<io::RecordView>(
    kLarkspurNames, "View", "", Threads::kOwner, init<&make>({"path"}),
    method<&len>("len", {}), method<&slot_bytes>("slot_bytes", {}),
    method<&close>("close", {},
                   "Compatibility no-op for the ctypes API (resources are "
                   "dropped with the object)."),
    method<&read_record>("read_record", {"index"}),
    method<&read_records>("read_records", {"indices"}));

}  // namespace

ClassRef view_class() { return class_ref<kView>(); }

}  // namespace larkspur::py
