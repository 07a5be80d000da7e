// read_keys: the keys of a key list file as a list of ints.
#include <cstdint>
#include <string>
#include <vector>

#include "larkspur-io/src/keys/key_list.h"
#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

Result<std::vector<std::uint64_t>> read_keys(std::string path) {
  return blocking([&] { return io::parse_key_file(path); });
}

constexpr auto kReadKeys = function<&read_keys>("read_keys", {"path"});

}  // namespace

PyMethodDef* read_keys_def() { return function_def<kReadKeys>(); }

}  // namespace larkspur::py
