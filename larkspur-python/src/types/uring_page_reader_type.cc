// IoUringPageReader: pages read through the calling thread's io_uring ring,
// or one pread per page where io_uring does not work.
#include <cstdint>
#include <string_view>
#include <vector>

#include "larkspur-io/src/uring/page_reader.h"
#include "larkspur-io/src/uring/uring_page_reader.h"
#include "larkspur-python/src/members.h"
#include "larkspur-python/src/types/page_list.h"

namespace larkspur::py {
namespace {

// Through the calling thread's ring where io_uring works and one request
// fills a page; page by page otherwise.
Result<PyRef> read_pages(const PageSize& self, std::vector<std::int32_t> fds,
                         std::vector<std::uint64_t> offsets) {
  // The probe runs here, under the interpreter lock, so it runs once.
  const PageReads reads = io::ring_reads(self.bytes)
                              ? &io::read_pages_uring
                              : &io::read_pages_positional;
  return read_pages_with(self, fds, offsets, reads);
}

std::string_view backend(const PageSize& /*self*/) {
  return io::uring_works() ? "io_uring" : "pread";
}

constexpr auto kUringPageReader = declare_class<PageSize>(
    kLarkspurNames, "IoUringPageReader",
    "Linux io_uring-backed page reader with the same Python API shape as\n"
    "`PageReader.read_pages(fds, offsets)`.\n\n"
    "This batches all requests in one ring submission per call (up to 256 at "
    "a\n"
    "time), which is the intended path for Linux inference hosts.  The ring "
    "is\n"
    "kept thread-local so repeated calls reuse the same io_uring instance.",
    Threads::kAny, init<&make_page_size>({opt("page_size", "4096")}),
    method<&read_pages>("read_pages", {"file_descriptors", "offsets"}),
    getter<&backend>(
        "backend",
        "实际生效的后端：`\"io_uring\"` 或 `\"pread\"`（容器里通常是后者）。"));

}  // namespace

ClassRef uring_page_reader_class() { return class_ref<kUringPageReader>(); }

}  // namespace larkspur::py
