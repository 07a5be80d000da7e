// PageReader: one pread per page into caller-held descriptors.
#include <cstdint>
#include <vector>

#include "larkspur-io/src/uring/page_reader.h"
#include "larkspur-python/src/members.h"
#include "larkspur-python/src/types/page_list.h"

namespace larkspur::py {
namespace {

// One pread per page, in input order, straight into the returned pages.
Result<PyRef> read_pages(const PageSize& self, std::vector<std::int32_t> fds,
                         std::vector<std::uint64_t> offsets) {
  return read_pages_with(self, fds, offsets, &io::read_pages_positional);
}

constexpr auto kPageReader = declare_class<PageSize>(
    kLarkspurNames, "PageReader",
    "Page reader with the common `read_pages(fds, offsets)` call shape of "
    "engine page readers.\n\n"
    "This is a pread-based implementation (Unix); it is a useful integration "
    "point\n"
    "for engines that already have raw file descriptors and offset lists.",
    Threads::kOwner, init<&make_page_size>({opt("page_size", "4096")}),
    method<&read_pages>("read_pages", {"file_descriptors", "offsets"}));

}  // namespace

ClassRef page_reader_class() { return class_ref<kPageReader>(); }

}  // namespace larkspur::py
