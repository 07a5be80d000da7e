// abi_version: the version of the module's binary interface.
#include <cstdint>

#include "larkspur-python/src/members.h"

namespace larkspur::py {
namespace {

std::uint64_t abi_version() { return 1; }

constexpr auto kAbiVersion = function<&abi_version>("abi_version", {});

}  // namespace

PyMethodDef* abi_version_def() { return function_def<kAbiVersion>(); }

}  // namespace larkspur::py
