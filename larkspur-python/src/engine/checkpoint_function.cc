// larkspur.checkpoint_tensors: what a safetensors checkpoint holds, as its
// headers say, for choosing the tensors a table is made of.
#include <string>
#include <vector>

#include "larkspur-io/src/checkpoint/checkpoint.h"
#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/engine/members.h"

namespace larkspur::py {
namespace {

Result<PyRef> one_tensor(const io::CheckpointTensor& t) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return Error::raised();
  PyRef shape =
      PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(t.entry.shape.size())));
  if (!shape) return Error::raised();
  for (std::size_t i = 0; i < t.entry.shape.size(); ++i) {
    PyObject* n = build(t.entry.shape[i]);
    if (n == nullptr ||
        PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(i), n) != 0) {
      return Error::raised();
    }
  }
  if (!put_item(dict.get(), "name", build(t.entry.name)) ||
      !put_item(dict.get(), "dtype", build(t.entry.dtype)) ||
      !put_item(dict.get(), "shape", shape.release()) ||
      !put_item(dict.get(), "file", build(t.path)) ||
      !put_item(dict.get(), "begin", build(t.entry.begin)) ||
      !put_item(dict.get(), "end", build(t.entry.end))) {
    return Error::raised();
  }
  return dict;
}

Result<PyRef> checkpoint_tensors(std::string path) {
  Result<std::vector<io::CheckpointTensor>> listed =
      blocking([&] { return io::list_checkpoint(path); });
  if (!listed) return std::move(listed).error();
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return Error::raised();
  for (const io::CheckpointTensor& t : *listed) {
    Result<PyRef> one = one_tensor(t);
    if (!one) return std::move(one).error();
    if (PyList_Append(list.get(), one->get()) != 0) return Error::raised();
  }
  return list;
}

constexpr auto kCheckpointTensors = function<&checkpoint_tensors>(
    "checkpoint_tensors", {"path"},
    "The tensors of a safetensors checkpoint (one .safetensors file, or a\n"
    "directory: its model.safetensors.index.json, else its .safetensors\n"
    "files), as its headers give them, in file and offset order: a list of\n"
    "dicts with \"name\", \"dtype\", \"shape\" (a tuple), \"file\" and the\n"
    "byte range [\"begin\", \"end\") of the data in that file. Raises\n"
    "ValueError for a header or index that is not well formed.");

}  // namespace

PyMethodDef* checkpoint_tensors_def() {
  return function_def<kCheckpointTensors>();
}

}  // namespace larkspur::py
