// Listing a checkpoint's tensors and making a table of its shard tensors.
#include "larkspur-io/src/checkpoint/checkpoint.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <nlohmann/json.hpp>
#include <utility>

#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/str_cat.h"

namespace larkspur::io {

namespace {

// An index names a few thousand tensors in well under a megabyte.
constexpr std::size_t kMaxIndexBytes = std::size_t{64} << 20;

constexpr std::string_view kSafetensorsSuffix = ".safetensors";
constexpr std::string_view kWeightMapKey = "weight_map";
constexpr std::string_view kPatternSlot = "{i}";

Error nul_in_name() {
  return Error::io("file name contained an unexpected NUL byte");
}

// Whether `name` names an entry directly inside a directory.
bool plain_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) ==
             std::string_view::npos;
}

// The event handler that reads an index's weight_map as it is parsed: the
// top level must be an object; its "weight_map" an object of strings; any
// other key's value is passed over, whatever it holds (the parser itself
// does not recurse, and the text is bounded).
class IndexReader {
 public:
  using Json = nlohmann::json;

  explicit IndexReader(std::string_view index) : index_(index) {}

  bool null() { return scalar("null"); }
  bool boolean(bool /*v*/) { return scalar("a boolean"); }
  bool number_integer(Json::number_integer_t /*v*/) {
    return scalar("a number");
  }
  bool number_unsigned(Json::number_unsigned_t /*v*/) {
    return scalar("a number");
  }
  bool number_float(Json::number_float_t /*v*/, const Json::string_t& /*s*/) {
    return scalar("a number");
  }
  bool string(Json::string_t& v);
  bool binary(Json::binary_t& /*v*/) { return scalar("binary data"); }
  bool start_object(std::size_t /*elements*/);
  bool end_object() { return close(); }
  bool start_array(std::size_t /*elements*/);
  bool end_array() { return close(); }
  bool key(Json::string_t& name);
  bool parse_error(std::size_t position, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*e*/) {
    if (!error_) {
      error_ = fail(str_cat("not valid JSON (at byte ", position, ")"));
    }
    return false;
  }

  Error fail(std::string_view what) const {
    return Error::invalid_argument(str_cat(index_, ": ", what));
  }
  std::optional<Error>& error() { return error_; }
  bool saw_weight_map() const { return saw_weight_map_; }
  // (tensor, file) pairs in the order of the text.
  std::vector<std::pair<std::string, std::string>>& map() { return map_; }

 private:
  enum class At {
    kStart,     // before the top-level object
    kTop,       // in the top-level object, before a key
    kMapItem,   // the value of "weight_map"
    kMap,       // in the weight_map, before a key
    kMapValue,  // a file name
    kOther,     // the value of another top-level key
    kSkip,      // inside that value, `skip_depth_` levels down
    kDone,
  };

  bool stop(std::string_view what) {
    error_ = fail(what);
    return false;
  }
  bool scalar(std::string_view what);
  bool close();

  std::string_view index_;
  std::optional<Error> error_;
  At at_ = At::kStart;
  std::size_t skip_depth_ = 0;
  bool saw_weight_map_ = false;
  std::vector<std::pair<std::string, std::string>> map_;
};

bool IndexReader::scalar(std::string_view what) {
  switch (at_) {
    case At::kOther:
      at_ = At::kTop;
      return true;
    case At::kSkip:
      return true;
    case At::kMapItem:
      return stop(
          str_cat("\"", kWeightMapKey, "\" is ", what, ", not an object"));
    case At::kMapValue:
      return stop(str_cat("tensor ", map_.back().first, " is mapped to ", what,
                          ", not a file name"));
    default:
      return stop("not a JSON object");
  }
}

bool IndexReader::string(Json::string_t& v) {
  if (at_ != At::kMapValue) return scalar("a string");
  if (!plain_name(v)) {
    return stop(str_cat("tensor ", map_.back().first, " is mapped to \"", v,
                        "\", which is not a file name inside the directory"));
  }
  map_.back().second = std::move(v);
  at_ = At::kMap;
  return true;
}

bool IndexReader::start_object(std::size_t /*elements*/) {
  switch (at_) {
    case At::kStart:
      at_ = At::kTop;
      return true;
    case At::kMapItem:
      at_ = At::kMap;
      return true;
    case At::kOther:
    case At::kSkip:
      at_ = At::kSkip;
      ++skip_depth_;
      return true;
    default:
      return scalar("an object");
  }
}

bool IndexReader::start_array(std::size_t /*elements*/) {
  if (at_ == At::kOther || at_ == At::kSkip) {
    at_ = At::kSkip;
    ++skip_depth_;
    return true;
  }
  return scalar("an array");
}

bool IndexReader::close() {
  switch (at_) {
    case At::kSkip:
      if (--skip_depth_ == 0) at_ = At::kTop;
      return true;
    case At::kMap:
      at_ = At::kTop;
      return true;
    case At::kTop:
      at_ = At::kDone;
      return true;
    default:
      return stop("not a JSON object");
  }
}

bool IndexReader::key(Json::string_t& name) {
  if (at_ == At::kSkip) return true;
  if (at_ == At::kMap) {
    map_.emplace_back(std::move(name), std::string());
    at_ = At::kMapValue;
    return true;
  }
  if (name != kWeightMapKey) {
    at_ = At::kOther;
    return true;
  }
  if (saw_weight_map_) {
    return stop(str_cat("\"", kWeightMapKey, "\" appears twice"));
  }
  saw_weight_map_ = true;
  at_ = At::kMapItem;
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The "*.safetensors" entries of directory `dir`, sorted by name.
Result<std::vector<std::string>> safetensors_names(const std::string& dir) {
  const DirHandle handle(::opendir(dir.c_str()));
  if (!handle) {
    return Error::from_errno(errno).with_prefix(str_cat(dir, ": "));
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the stream is this call's own
    const dirent* entry = ::readdir(handle.get());
    if (entry == nullptr) {
      if (errno != 0) {
        return Error::from_errno(errno).with_prefix(str_cat(dir, ": "));
      }
      break;
    }
    const std::string_view name(static_cast<const char*>(entry->d_name));
    if (name.size() > kSafetensorsSuffix.size() &&
        name.ends_with(kSafetensorsSuffix)) {
      names.emplace_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The tensors of the file at `path`.
Result<std::vector<CheckpointTensor>> file_tensors(const std::string& path) {
  Result<OpenFile> file = open_file(path, FileKinds::kRegular);
  if (!file) return file.error().with_prefix(str_cat(path, ": "));
  Result<SafetensorsHeader> header =
      read_safetensors_header(file->fd.get(), path);
  if (!header) return std::move(header).error();
  std::vector<CheckpointTensor> out;
  out.reserve(header->tensors.size());
  for (TensorEntry& t : header->tensors) {
    out.push_back(CheckpointTensor{std::move(t), path});
  }
  return out;
}

// The weight_map of the index at `index`, sorted by file then tensor, each
// tensor once.
Result<std::vector<std::pair<std::string, std::string>>> read_index(
    const std::string& index) {
  Result<std::string> text = read_file(index, kMaxIndexBytes);
  if (!text) return text.error().with_prefix(str_cat(index, ": "));
  IndexReader reader(index);
  if (text->find('\0') != std::string::npos) {
    return reader.fail("holds a NUL byte");
  }
  if (!nlohmann::json::sax_parse(text->begin(), text->end(), &reader)) {
    if (reader.error()) return *std::move(reader.error());
    return reader.fail("not valid JSON");
  }
  if (!reader.saw_weight_map()) {
    return reader.fail(str_cat("no \"", kWeightMapKey, "\""));
  }
  auto map = std::move(reader.map());
  if (map.empty()) {
    return reader.fail(str_cat("\"", kWeightMapKey, "\" names no tensor"));
  }
  std::sort(map.begin(), map.end());
  const auto same_tensor = [](const auto& a, const auto& b) {
    return a.first == b.first;
  };
  if (const auto at = std::adjacent_find(map.begin(), map.end(), same_tensor);
      at != map.end()) {
    return reader.fail(str_cat("tensor ", at->first, " is mapped twice"));
  }
  std::sort(map.begin(), map.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second < b.second : a.first < b.first;
  });
  return map;
}

// The tensors of the files an index at `index` in `dir` names. Every
// tensor of those files is listed, including any the map leaves out: the
// data is there all the same.
Result<std::vector<CheckpointTensor>> indexed_tensors(
    std::string_view dir, const std::string& index) {
  auto map = read_index(index);
  if (!map) return std::move(map).error();
  std::vector<CheckpointTensor> out;
  for (auto next = map->begin(); next != map->end();) {
    const std::string& file = next->second;
    const auto file_end = std::find_if(next, map->end(), [&](const auto& item) {
      return item.second != file;
    });
    auto tensors = file_tensors(join_path(dir, file));
    if (!tensors) return std::move(tensors).error();
    std::vector<std::string_view> names;
    names.reserve(tensors->size());
    for (const CheckpointTensor& t : *tensors) names.emplace_back(t.entry.name);
    std::sort(names.begin(), names.end());
    for (; next != file_end; ++next) {
      if (!std::binary_search(names.begin(), names.end(),
                              std::string_view(next->first))) {
        return Error::invalid_argument(str_cat(index, ": tensor ", next->first,
                                               " is mapped to ", file,
                                               ", which has no such tensor"));
      }
    }
    std::move(tensors->begin(), tensors->end(), std::back_inserter(out));
  }
  return out;
}

// Fails naming a tensor that `tensors` holds twice.
Status check_unique(std::string_view path,
                    const std::vector<CheckpointTensor>& tensors) {
  std::vector<const CheckpointTensor*> by_name;
  by_name.reserve(tensors.size());
  for (const CheckpointTensor& t : tensors) by_name.push_back(&t);
  std::sort(by_name.begin(), by_name.end(), [](const auto* a, const auto* b) {
    return a->entry.name < b->entry.name;
  });
  const auto at = std::adjacent_find(by_name.begin(), by_name.end(),
                                     [](const auto* a, const auto* b) {
                                       return a->entry.name == b->entry.name;
                                     });
  if (at == by_name.end()) return ok();
  return Error::invalid_argument(str_cat(path, ": tensor ", (*at)->entry.name,
                                         " is in both ", (*at)->path, " and ",
                                         (*std::next(at))->path));
}

// The tensor of `tensors` called `name`, or null.
const CheckpointTensor* find_tensor(
    const std::vector<const CheckpointTensor*>& by_name,
    std::string_view name) {
  const auto at =
      std::lower_bound(by_name.begin(), by_name.end(), name,
                       [](const CheckpointTensor* t, std::string_view n) {
                         return t->entry.name < n;
                       });
  if (at == by_name.end() || (*at)->entry.name != name) return nullptr;
  return *at;
}

// The shard tensors a pattern names: "{i}" filled with 0, 1, 2, ... while
// such a tensor exists. A tensor of the pattern's form outside that run
// (a gap, or digits written another way) is an error: the table would
// silently lack it.
Result<std::vector<const CheckpointTensor*>> pattern_tensors(
    std::string_view path, std::string_view pattern,
    const std::vector<const CheckpointTensor*>& by_name) {
  const std::size_t slot = pattern.find(kPatternSlot);
  if (slot == std::string_view::npos) {
    return Error::invalid_argument(
        str_cat("tensor pattern ", pattern, " has no ", kPatternSlot));
  }
  if (pattern.find(kPatternSlot, slot + kPatternSlot.size()) !=
      std::string_view::npos) {
    return Error::invalid_argument(str_cat(
        "tensor pattern ", pattern, " has more than one ", kPatternSlot));
  }
  const std::string_view prefix = pattern.substr(0, slot);
  const std::string_view suffix = pattern.substr(slot + kPatternSlot.size());
  std::vector<const CheckpointTensor*> out;
  for (std::uint64_t i = 0;; ++i) {
    const CheckpointTensor* t =
        find_tensor(by_name, str_cat(prefix, i, suffix));
    if (t == nullptr) break;
    out.push_back(t);
  }
  if (out.empty()) {
    return Error::invalid_argument(
        str_cat(path, ": no tensor is named ", prefix, 0, suffix));
  }
  for (const CheckpointTensor* t : by_name) {
    const std::string_view name = t->entry.name;
    if (name.size() <= prefix.size() + suffix.size() ||
        !name.starts_with(prefix) || !name.ends_with(suffix)) {
      continue;
    }
    const std::string_view digits =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.find_first_not_of("0123456789") != std::string_view::npos) {
      continue;
    }
    std::uint64_t i = 0;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), i);
    const bool in_run = ec == std::errc() && i < out.size() &&
                        (digits.size() == 1 || digits.front() != '0');
    if (!in_run) {
      return Error::invalid_argument(str_cat(pattern, ": tensors 0 to ",
                                             out.size() - 1,
                                             " exist but so does ", name));
    }
  }
  return out;
}

// The shard tensors `names` gives, checked against the checkpoint.
Result<std::vector<const CheckpointTensor*>> named_tensors(
    std::string_view path, const ShardTensorNames& names,
    const std::vector<const CheckpointTensor*>& by_name) {
  if (names.pattern) {
    if (!names.names.empty()) {
      return Error::invalid_argument(
          "shard tensors are given both by name and by pattern");
    }
    return pattern_tensors(path, *names.pattern, by_name);
  }
  if (names.names.empty()) {
    return Error::invalid_argument("no shard tensor is named");
  }
  std::vector<std::string_view> sorted(names.names.begin(), names.names.end());
  std::sort(sorted.begin(), sorted.end());
  if (const auto at = std::adjacent_find(sorted.begin(), sorted.end());
      at != sorted.end()) {
    return Error::invalid_argument(str_cat("tensor ", *at, " is named twice"));
  }
  std::vector<const CheckpointTensor*> out;
  out.reserve(names.names.size());
  for (const std::string& name : names.names) {
    const CheckpointTensor* t = find_tensor(by_name, name);
    if (t == nullptr) {
      return Error::invalid_argument(
          str_cat("tensor ", name, " is not in ", path));
    }
    out.push_back(t);
  }
  return out;
}

// A shard tensor's rows: how many, of how many bytes.
struct ShardRows {
  std::uint64_t rows = 0;
  std::uint64_t row_bytes = 0;
};

Result<ShardRows> shard_rows(const CheckpointTensor& t,
                             std::optional<std::uint64_t> width) {
  const TensorEntry& e = t.entry;
  const auto fail = [&](std::string_view what) {
    return Error::invalid_argument(
        str_cat(t.path, ": tensor ", e.name, ": ", what));
  };
  ShardRows out;
  const std::uint64_t length = e.end - e.begin;
  if (e.shape.size() == 1) {
    if (e.element_bytes != 1) {
      return fail(str_cat("a 1-D tensor of ", e.dtype,
                          " is not bytes; give rows a 2-D shape"));
    }
    if (!width) return fail("a 1-D tensor needs width=");
    if (*width == 0) return fail("rows of 0 bytes");
    if (length % *width != 0) {
      return fail(str_cat(length, " bytes is not a whole number of ", *width,
                          "-byte rows"));
    }
    out = {length / *width, *width};
  } else if (e.shape.size() == 2) {
    std::uint64_t row_bytes = 0;
    if (__builtin_mul_overflow(e.shape[1], std::uint64_t{e.element_bytes},
                               &row_bytes)) {
      return fail("rows of more than 2^64 bytes");
    }
    if (width && *width != row_bytes) {
      return fail(str_cat("rows of ", row_bytes, " bytes, but width=", *width,
                          " was given"));
    }
    out = {e.shape[0], row_bytes};
  } else {
    return fail(str_cat("shape ", shape_text(e.shape), " is not 2-D"));
  }
  if (out.row_bytes == 0) return fail("rows of 0 bytes");
  if (out.rows == 0) return fail("has no rows");
  return out;
}

}  // namespace

Result<std::vector<CheckpointTensor>> list_checkpoint(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return nul_in_name();
  const std::string name(path);
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) {
    return Error::from_errno(errno).with_prefix(str_cat(name, ": "));
  }
  Result<std::vector<CheckpointTensor>> out = std::vector<CheckpointTensor>();
  if (!S_ISDIR(st.st_mode)) {
    out = file_tensors(name);
  } else if (std::string index = join_path(name, kCheckpointIndexName);
             ::stat(index.c_str(), &st) == 0 || errno != ENOENT) {
    out = indexed_tensors(name, index);
  } else {
    auto files = safetensors_names(name);
    if (!files) return std::move(files).error();
    if (files->empty()) {
      return Error::invalid_argument(str_cat(name, ": no ",
                                             kCheckpointIndexName, " and no *",
                                             kSafetensorsSuffix, " file"));
    }
    for (const std::string& file : *files) {
      auto tensors = file_tensors(join_path(name, file));
      if (!tensors) return std::move(tensors).error();
      std::move(tensors->begin(), tensors->end(), std::back_inserter(*out));
    }
  }
  if (!out) return out;
  if (Status unique = check_unique(name, *out); !unique) {
    return std::move(unique).error();
  }
  return out;
}

Result<CheckpointTable> checkpoint_table(std::string_view path,
                                         const ShardTensorNames& names,
                                         std::optional<std::uint64_t> width) {
  auto tensors = list_checkpoint(path);
  if (!tensors) return std::move(tensors).error();
  std::vector<const CheckpointTensor*> by_name;
  by_name.reserve(tensors->size());
  for (const CheckpointTensor& t : *tensors) by_name.push_back(&t);
  std::sort(by_name.begin(), by_name.end(), [](const auto* a, const auto* b) {
    return a->entry.name < b->entry.name;
  });
  auto shards = named_tensors(path, names, by_name);
  if (!shards) return std::move(shards).error();

  CheckpointTable out{};
  ShardRows first;
  for (std::size_t k = 0; k < shards->size(); ++k) {
    const CheckpointTensor& t = *(*shards)[k];
    auto rows = shard_rows(t, width);
    if (!rows) return std::move(rows).error();
    const auto fail = [&](std::string_view what) {
      return Error::invalid_argument(
          str_cat(t.path, ": tensor ", t.entry.name, what));
    };
    if (k == 0) {
      first = *rows;
    } else if (rows->row_bytes != first.row_bytes) {
      return fail(str_cat(": rows of ", rows->row_bytes,
                          " bytes, but shard 0 has rows of ", first.row_bytes,
                          " bytes"));
    } else if (rows->rows > first.rows) {
      return fail(str_cat(" has ", rows->rows, " rows, more than shard 0's ",
                          first.rows));
    } else if (rows->rows < first.rows && k + 1 < shards->size()) {
      return fail(str_cat(" has ", rows->rows, " rows, fewer than shard 0's ",
                          first.rows, ": only the last shard may be shorter"));
    }
    out.names.push_back(t.entry.name);
    out.shards.push_back(ShardFile{
        t.path, ShardExtent{t.entry.begin, t.entry.end - t.entry.begin}});
  }
  out.geometry = ShardGeometry{shards->size(), first.rows, first.row_bytes};
  return out;
}

}  // namespace larkspur::io
