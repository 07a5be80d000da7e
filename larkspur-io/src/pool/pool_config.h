// How many workers the I/O pool gets and whether it is used at all: the two
// environment variables and the CPU count available to the process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace larkspur::io {

inline constexpr const char* kPoolWorkersVar = "LARKSPUR_POOL_WORKERS";
inline constexpr const char* kNoPoolVar = "LARKSPUR_NO_POOL";

inline constexpr std::uint64_t kMinDefaultWorkers = 32;
inline constexpr std::uint64_t kMaxDefaultWorkers = 64;

// The worker count written in LARKSPUR_POOL_WORKERS: decimal digits with an
// optional leading '+', nothing else, fitting 64 bits and above 0. Anything
// else is unusable (std::nullopt).
std::optional<std::uint64_t> parse_worker_count(std::string_view text);

// Whether a LARKSPUR_NO_POOL value (nullptr when unset) switches the pool
// off: any value but "" and "0".
bool no_pool_requested(const char* value);

// The default worker count for `cpus` CPUs: clamped to 32..64, 32 when the
// count is unknown.
std::uint64_t default_worker_count(std::optional<std::uint64_t> cpus);

// CPUs in the process's affinity set, or nullopt when it cannot be read.
std::optional<std::uint64_t> affinity_cpus();

// The CPU limit a cgroup quota puts on this process (the smallest one along
// its cgroup path, v2 cpu.max or v1 cpu.cfs_quota_us), rounded up to whole
// CPUs; nullopt when no quota is set or none can be read. `proc_cgroup` and
// `mountinfo` are the texts of /proc/self/cgroup and /proc/self/mountinfo;
// `fs_root` is prefixed to every cgroup file path (empty in production).
std::optional<std::uint64_t> cgroup_cpu_limit(std::string_view proc_cgroup,
                                              std::string_view mountinfo,
                                              const std::string& fs_root);

// Affinity reduced by the cgroup quota of this process; nullopt when the
// affinity set cannot be read.
std::optional<std::uint64_t> available_cpus();

// The worker count for a new pool: LARKSPUR_POOL_WORKERS when usable, else
// the default count. Reads the environment on each call.
std::uint64_t configured_worker_count();

// LARKSPUR_NO_POOL as read now.
bool no_pool_from_env();

}  // namespace larkspur::io
