// View: records of a flat file read by index, sized by an optional manifest.
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "larkspur-io/src/view/record_view.h"
#include "larkspur-python/src/binding/entry.h"
#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

struct ViewBinding {
  using Value = io::RecordView;
  static constexpr const char* kName = "View";
  static constexpr const char* kTypePath = "_larkspur::View";
  static constexpr bool kThreadBound = true;
  static PyTypeObject* type();
};

constexpr Signature kNew{"View", "__new__", {"path"}, 1};
constexpr Signature kReadRecord{"View", "read_record", {"index"}, 1};
constexpr Signature kReadRecords{"View", "read_records", {"indices"}, 1};

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

PyMethodDef kMethods[] = {
    {"len", as_cfunction(method_noargs<ViewBinding, &len>), METH_NOARGS,
     "len($self)\n--\n\n"},
    {"slot_bytes", as_cfunction(method_noargs<ViewBinding, &slot_bytes>),
     METH_NOARGS, "slot_bytes($self)\n--\n\n"},
    {"close", as_cfunction(method_noargs<ViewBinding, &close>), METH_NOARGS,
     "close($self)\n--\n\n"
     "Compatibility no-op for the ctypes API (resources are dropped with the "
     "object)."},
    {"read_record",
     as_cfunction(method<ViewBinding, kReadRecord, &read_record>),
     METH_FASTCALL | METH_KEYWORDS, "read_record($self, index)\n--\n\n"},
    {"read_records",
     as_cfunction(method<ViewBinding, kReadRecords, &read_records>),
     METH_FASTCALL | METH_KEYWORDS, "read_records($self, indices)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kSpec{
    "builtins.View",
    "View(path)\n--\n\n",
    sizeof(Instance<io::RecordView>),
    &constructor<ViewBinding, kNew, &make>,
    &dealloc<ViewBinding>,
    kMethods,
    nullptr,
};

TypeCell cell(kSpec);

PyTypeObject* ViewBinding::type() { return cell.get(); }

}  // namespace

PyTypeObject* create_view_type() { return cell.create(); }

}  // namespace larkspur::py
