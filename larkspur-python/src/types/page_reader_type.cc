// PageReader: one pread per page into caller-held descriptors.
#include <cstdint>
#include <optional>
#include <vector>

#include "larkspur-io/src/uring/page_reader.h"
#include "larkspur-python/src/members.h"
#include "larkspur-python/src/types/page_list.h"

namespace larkspur::py {
namespace {

struct PageReaderState {
  std::uint64_t page_size;
};


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

constexpr auto kPageReader = declare_class<PageReaderState>(
    kLarkspurNames, "PageReader",
    "Page reader with the common `read_pages(fds, offsets)` call shape of "
    "engine page readers.\n\n"
    "This is a pread-based implementation (Unix); it is a useful integration "
    "point\n"
    "for engines that already have raw file descriptors and offset lists.",
    Threads::kOwner, init<&make>({opt("page_size", "4096")}),
    method<&read_pages>("read_pages", {"file_descriptors", "offsets"}));

}  // namespace

ClassRef page_reader_class() { return class_ref<kPageReader>(); }

}  // namespace larkspur::py
