// Pool sizing: environment variables, affinity and cgroup CPU quotas.
#include "larkspur-io/src/pool/pool_config.h"

#include <sched.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <vector>

#include "larkspur-core/src/base/file.h"

namespace larkspur::io {

namespace {

// The whole of a small file (cgroup and proc files), or nullopt.
std::optional<std::string> read_small_file(const std::string& path) {
  Result<std::string> text = read_file(path, std::size_t{1} << 20);
  if (!text) return std::nullopt;
  return *std::move(text);
}

std::string_view trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\n' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\n' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

template <class T>
std::optional<T> parse_int(std::string_view s) {
  T value{};
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  while (true) {
    const std::size_t at = s.find(sep);
    out.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return out;
    s.remove_prefix(at + 1);
  }
}

// Mount points in mountinfo escape space, tab, newline and backslash as
// three octal digits.
std::string unescape_octal(std::string_view s) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && octal(s[i + 1]) &&
        octal(s[i + 2]) && octal(s[i + 3])) {
      out.push_back(static_cast<char>((s[i + 1] - '0') * 64 +
                                      (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(s[i]);
  }
  return out;
}

// Whole CPUs a quota of `quota` per `period` microseconds allows, rounded
// up; nullopt for no quota.
std::optional<std::uint64_t> quota_cpus(std::int64_t quota,
                                        std::uint64_t period) {
  if (quota <= 0 || period == 0) return std::nullopt;
  const auto q = static_cast<std::uint64_t>(quota);
  return std::max<std::uint64_t>(1, q / period + (q % period != 0 ? 1 : 0));
}

std::optional<std::uint64_t> min_limit(std::optional<std::uint64_t> a,
                                       std::optional<std::uint64_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// v2: "max 100000" or "50000 100000".
std::optional<std::uint64_t> read_cpu_max(const std::string& dir) {
  const auto text = read_small_file(dir + "/cpu.max");
  if (!text) return std::nullopt;
  const auto fields = split(trim(*text), ' ');
  if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
  const auto quota = parse_int<std::int64_t>(fields[0]);
  const auto period = parse_int<std::uint64_t>(fields[1]);
  if (!quota || !period) return std::nullopt;
  return quota_cpus(*quota, *period);
}

// v1: cpu.cfs_quota_us ("-1" for none) over cpu.cfs_period_us.
std::optional<std::uint64_t> read_cfs_quota(const std::string& dir) {
  const auto quota_text = read_small_file(dir + "/cpu.cfs_quota_us");
  const auto period_text = read_small_file(dir + "/cpu.cfs_period_us");
  if (!quota_text || !period_text) return std::nullopt;
  const auto quota = parse_int<std::int64_t>(trim(*quota_text));
  const auto period = parse_int<std::uint64_t>(trim(*period_text));
  if (!quota || !period) return std::nullopt;
  return quota_cpus(*quota, *period);
}

struct Mount {
  std::string root;   // the path inside the cgroup file system
  std::string point;  // where it is mounted
};

// The first mount of file-system type `fstype` whose super options contain
// `option` (any when empty).
std::optional<Mount> find_mount(std::string_view mountinfo,
                                std::string_view fstype,
                                std::string_view option) {
  for (std::string_view line : split(mountinfo, '\n')) {
    const std::size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) continue;
    const auto head = split(line.substr(0, dash), ' ');
    const auto tail = split(line.substr(dash + 3), ' ');
    if (head.size() < 5 || tail.size() < 3 || tail[0] != fstype) continue;
    if (!option.empty()) {
      const auto opts = split(tail[2], ',');
      if (std::find(opts.begin(), opts.end(), option) == opts.end()) continue;
    }
    return Mount{unescape_octal(head[3]), unescape_octal(head[4])};
  }
  return std::nullopt;
}

// The smallest limit `read_limit` finds from the cgroup directory of
// `cgroup_path` up to the mount point.
template <class ReadLimit>
std::optional<std::uint64_t> walk_up(const Mount& mount,
                                     std::string_view cgroup_path,
                                     const std::string& fs_root,
                                     ReadLimit read_limit) {
  std::string_view rel = cgroup_path;
  if (mount.root != "/") {
    if (rel.substr(0, mount.root.size()) != mount.root) return std::nullopt;
    rel.remove_prefix(mount.root.size());
  }
  std::string base = fs_root + mount.point;
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::string dir = base;
  for (std::string_view part : split(rel, '/')) {
    if (part.empty()) continue;
    dir += '/';
    dir += part;
  }
  std::optional<std::uint64_t> limit;
  while (true) {
    limit = min_limit(limit, read_limit(dir));
    if (dir.size() <= base.size()) return limit;
    dir.resize(dir.rfind('/'));  // stays at least base: every step added '/'
  }
}

}  // namespace

std::optional<std::uint64_t> parse_worker_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const auto value = parse_int<std::uint64_t>(text);
  if (!value || *value == 0) return std::nullopt;
  return value;
}

bool no_pool_requested(const char* value) {
  if (value == nullptr) return false;
  const std::string_view v(value);
  return !v.empty() && v != "0";
}

std::uint64_t default_worker_count(std::optional<std::uint64_t> cpus) {
  if (!cpus) return kMinDefaultWorkers;
  return std::clamp(*cpus, kMinDefaultWorkers, kMaxDefaultWorkers);
}

std::optional<std::uint64_t> affinity_cpus() {
  // The kernel's mask may be wider than cpu_set_t; grow until it fits.
  for (std::size_t words = 16; words <= (1U << 16); words *= 2) {
    std::vector<unsigned long> mask(words, 0);
    const std::size_t bytes = words * sizeof(unsigned long);
    if (::sched_getaffinity(0, bytes,
                            reinterpret_cast<cpu_set_t*>(mask.data())) == 0) {
      std::uint64_t count = 0;
      for (unsigned long word : mask) {
        count += static_cast<std::uint64_t>(std::popcount(word));
      }
      if (count == 0) return std::nullopt;
      return count;
    }
    if (errno != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> cgroup_cpu_limit(std::string_view proc_cgroup,
                                              std::string_view mountinfo,
                                              const std::string& fs_root) {
  std::optional<std::uint64_t> limit;
  for (std::string_view line : split(proc_cgroup, '\n')) {
    // "hierarchy-id:controllers:path"; the path may itself hold colons.
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers =
        line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      if (auto mount = find_mount(mountinfo, "cgroup2", "")) {
        limit = min_limit(limit, walk_up(*mount, path, fs_root, read_cpu_max));
      }
      continue;
    }
    const auto names = split(controllers, ',');
    if (std::find(names.begin(), names.end(), "cpu") == names.end()) continue;
    if (auto mount = find_mount(mountinfo, "cgroup", "cpu")) {
      limit = min_limit(limit, walk_up(*mount, path, fs_root, read_cfs_quota));
    }
  }
  return limit;
}

std::optional<std::uint64_t> available_cpus() {
  const auto cpus = affinity_cpus();
  if (!cpus) return std::nullopt;
  const auto cgroup = read_small_file("/proc/self/cgroup");
  const auto mountinfo = read_small_file("/proc/self/mountinfo");
  if (!cgroup || !mountinfo) return cpus;
  return min_limit(cpus, cgroup_cpu_limit(*cgroup, *mountinfo, ""));
}

std::uint64_t configured_worker_count() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read once, when the pool is made
  if (const char* text = std::getenv(kPoolWorkersVar)) {
    if (auto count = parse_worker_count(text)) return *count;
  }
  return default_worker_count(available_cpus());
}

bool no_pool_from_env() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read once per process
  return no_pool_requested(std::getenv(kNoPoolVar));
}

}  // namespace larkspur::io
