// read_keys: the keys of a key list file as a list of ints.
#include <cstdint>
#include <string>
#include <vector>

#include "larkspur-python/src/binding/entry.h"
#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/keys/key_list.h"
#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

constexpr Signature kReadKeys{nullptr, "read_keys", {"path"}, 1};

Result<std::vector<std::uint64_t>> read_keys(std::string path) {
  return blocking([&] { return keys::parse_key_file(path); });
}

PyMethodDef kReadKeysDef = {"read_keys",
                            as_cfunction(function<kReadKeys, &read_keys>),
                            METH_FASTCALL | METH_KEYWORDS,
                            "read_keys(path)\n--\n\n"};

}  // namespace

PyMethodDef* read_keys_def() { return &kReadKeysDef; }

}  // namespace larkspur::py
