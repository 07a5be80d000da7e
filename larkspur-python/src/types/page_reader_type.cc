// PageReader: one pread per page into caller-held descriptors.
#include <cstdint>
#include <optional>
#include <vector>

#include "larkspur-io/src/batch/page_reader.h"
#include "larkspur-python/src/binding/entry.h"
#include "larkspur-python/src/members.h"
#include "larkspur-python/src/types/page_list.h"

namespace larkspur::py {
namespace {

struct PageReaderState {
  std::uint64_t page_size;
};

struct PageReaderBinding {
  using Value = PageReaderState;
  static constexpr const char* kName = "PageReader";
  static constexpr const char* kTypePath = "_larkspur::PageReader";
  static constexpr bool kThreadBound = true;
  static PyTypeObject* type();
};

constexpr Signature kNew{"PageReader", "__new__", {"page_size"}, 0};
constexpr Signature kReadPages{
    "PageReader", "read_pages", {"file_descriptors", "offsets"}, 2};

Result<PageReaderState> make(std::optional<std::uint64_t> page_size) {
  const std::uint64_t size = page_size.value_or(io::kDefaultPageSize);
  if (Status s = io::check_page_size(size); !s) return std::move(s).error();
  return PageReaderState{size};
}

// One pread per page, in input order, straight into the returned pages.
Result<PyRef> read_pages(const PageReaderState& self,
                         std::vector<std::int32_t> fds,
                         std::vector<std::uint64_t> offsets) {
  if (Status s = io::check_same_length(fds.size(), offsets.size()); !s) {
    return std::move(s).error();
  }
  return fill_pages(self.page_size, fds, offsets, &io::read_pages_positional);
}

PyMethodDef kMethods[] = {
    {"read_pages",
     as_cfunction(method<PageReaderBinding, kReadPages, &read_pages>),
     METH_FASTCALL | METH_KEYWORDS,
     "read_pages($self, file_descriptors, offsets)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kSpec{
    "builtins.PageReader",
    "PageReader(page_size=4096)\n--\n\n"
    "Page reader with the common `read_pages(fds, offsets)` call shape of "
    "engine page readers.\n\n"
    "This is a pread-based implementation (Unix); it is a useful integration "
    "point\n"
    "for engines that already have raw file descriptors and offset lists.",
    sizeof(Instance<PageReaderState>),
    &constructor<PageReaderBinding, kNew, &make>,
    &dealloc<PageReaderBinding>,
    kMethods,
    nullptr,
};

TypeCell cell(kSpec);

PyTypeObject* PageReaderBinding::type() { return cell.get(); }

}  // namespace

PyTypeObject* create_page_reader_type() { return cell.create(); }

}  // namespace larkspur::py
