// rowids_for_seq and rowids_for_seq_with_history: n-gram row ids of a token
// sequence as a list of lists of 16 ints.
#include <cstdint>
#include <span>
#include <vector>

#include "larkspur-keygen/src/lib/rowids.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

using keygen::kTableCount;

Status check_ple_spec(std::uint32_t ple_spec) {
  if (ple_spec == keygen::kPleQwenV1) return ok();
  return Error::not_implemented("only PLE_QWEN_V1=1 is implemented");
}

// Holds off the cyclic garbage collector while a result is built. The
// lists made here hold only ints, so a collection in the middle of the build
// could free nothing of ours; it runs at the next allocation after the call
// instead, by which time a short-lived result is usually gone. Nothing
// between construction and destruction runs Python code.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

// Hashes each token straight into its list of ints, with no intermediate
// table of row ids. A null result with an exception set means the
// interpreter could not make an object; the entry wrapper reports it.
PyRef build_rowids(std::span<const std::uint32_t> history,
                   std::span<const std::uint32_t> tokens) {
  PyRef outer =
      PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
  if (!outer) return {};
  const CollectorPause pause;
  keygen::NgramContext context(history);
  keygen::RowIds row;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    context.next(tokens[i], row);
    PyObject* inner = PyList_New(kTableCount);
    if (inner == nullptr) return {};
    PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i), inner);
    for (std::size_t t = 0; t < kTableCount; ++t) {
      // Row ids are below 2^31, so the signed constructor loses nothing
      // and takes CPython's single-digit path.
      PyObject* id = PyLong_FromLong(static_cast<long>(row[t]));
      if (id == nullptr) return {};
      PyList_SetItem(inner, static_cast<Py_ssize_t>(t), id);
    }
  }
  return outer;
}

Result<PyRef> rowids_for_seq(std::vector<std::uint32_t> tokens,
                             std::uint32_t ple_spec) {
  if (Status s = check_ple_spec(ple_spec); !s) return std::move(s).error();
  return build_rowids({}, tokens);
}

Result<PyRef> rowids_for_seq_with_history(std::vector<std::uint32_t> history,
                                          std::vector<std::uint32_t> tokens,
                                          std::uint32_t ple_spec) {
  if (Status s = check_ple_spec(ple_spec); !s) return std::move(s).error();
  return build_rowids(history, tokens);
}

constexpr auto kRowidsForSeq =
    function<&rowids_for_seq>("rowids_for_seq", {"tokens", "ple_spec"});
constexpr auto kRowidsForSeqWithHistory =
    function<&rowids_for_seq_with_history>("rowids_for_seq_with_history",
                                           {"history", "tokens", "ple_spec"});

}  // namespace

PyMethodDef* rowids_for_seq_def() { return function_def<kRowidsForSeq>(); }
PyMethodDef* rowids_for_seq_with_history_def() {
  return function_def<kRowidsForSeqWithHistory>();
}

}  // namespace larkspur::py
