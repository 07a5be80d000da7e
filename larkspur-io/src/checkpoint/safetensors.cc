// Checking and reading the header of a safetensors file.
#include "larkspur-io/src/checkpoint/safetensors.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <span>
#include <utility>

#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/str_cat.h"

namespace larkspur::io {

namespace {

struct DtypeSize {
  std::string_view name;
  std::uint32_t bytes;
};

constexpr std::array<DtypeSize, 17> kDtypes = {{
    {"BOOL", 1},
    {"U8", 1},
    {"I8", 1},
    {"F8_E5M2", 1},
    {"F8_E4M3", 1},
    {"F8_E8M0", 1},
    {"I16", 2},
    {"U16", 2},
    {"F16", 2},
    {"BF16", 2},
    {"I32", 4},
    {"U32", 4},
    {"F32", 4},
    {"I64", 8},
    {"U64", 8},
    {"F64", 8},
    {"C64", 8},
}};

constexpr std::string_view kMetadataKey = "__metadata__";

// The length prefix before the JSON.
constexpr std::uint64_t kLengthBytes = 8;

// a × b, or nullopt when it does not fit 64 bits.
std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
  return out;
}

std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
  return out;
}

// The event handler that checks a header's JSON as it is parsed, without
// building a document. The structure allowed is fixed and at most three
// levels deep (object, tensor object, array of numbers), so any value in
// an unexpected place stops the parse at once: no nesting is followed.
// A callback that finds a fault records it in `error_` and returns false,
// which ends the parse.
class HeaderReader {
 public:
  using Json = nlohmann::json;

  explicit HeaderReader(std::string_view file_name) : file_(file_name) {}

  bool null() { return scalar("null"); }
  bool boolean(bool /*v*/) { return scalar("a boolean"); }
  bool number_integer(Json::number_integer_t v) {
    return number(std::nullopt, str_cat(v));
  }
  bool number_unsigned(Json::number_unsigned_t v) {
    return number(v, std::string());
  }
  bool number_float(Json::number_float_t /*v*/, const Json::string_t& s) {
    return number(std::nullopt, s);
  }
  bool string(Json::string_t& v);
  bool binary(Json::binary_t& /*v*/) { return scalar("binary data"); }
  bool start_object(std::size_t /*elements*/);
  bool end_object();
  bool start_array(std::size_t /*elements*/);
  bool end_array();
  bool key(Json::string_t& name);
  bool parse_error(std::size_t position, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*e*/) {
    if (!error_) {
      error_ =
          fail(str_cat("header is not valid JSON (at byte ", position, ")"));
    }
    return false;
  }

  // The error that stopped the parse, if a check (not the syntax) did.
  std::optional<Error>& error() { return error_; }
  std::vector<TensorEntry>& tensors() { return tensors_; }
  std::vector<std::string>& metadata_keys() { return metadata_keys_; }

  Error fail(std::string_view what) const {
    return Error::invalid_argument(str_cat(file_, ": ", what));
  }

 private:
  // Where the parse is. Each state names the value the next event gives.
  enum class At {
    kStart,          // before the top-level object
    kTop,            // in the top-level object, before a key
    kMetadataItem,   // the value of __metadata__
    kMetadata,       // in __metadata__, before a key
    kMetadataValue,  // a metadata value (a string)
    kTensorItem,     // the value of a tensor's key (an object)
    kTensor,         // in a tensor's object, before a field
    kField,          // the value of a tensor's field
    kArray,          // in "shape" or "data_offsets"
    kDone,           // after the top-level object
  };
  enum Field { kDtype, kShape, kOffsets, kFields };
  static constexpr std::array<std::string_view, kFields> kFieldNames = {
      "dtype", "shape", "data_offsets"};

  bool stop(std::string_view what) {
    error_ = fail(what);
    return false;
  }
  bool tensor_stop(std::string_view what) {
    return stop(str_cat("tensor ", tensors_.back().name, ": ", what));
  }
  // A value that is wrong wherever it appears but as a metadata value.
  bool scalar(std::string_view what);
  bool number(std::optional<std::uint64_t> v, const std::string& text);
  bool finish_tensor();

  std::string_view file_;
  std::optional<Error> error_;
  At at_ = At::kStart;
  bool seen_metadata_ = false;
  std::string metadata_key_;
  std::vector<std::string> metadata_keys_;
  std::vector<TensorEntry> tensors_;
  // The tensor being read: which fields it had, which one is being read,
  // and its data_offsets.
  std::array<bool, kFields> seen_{};
  Field field_ = kFields;
  std::vector<std::uint64_t> offsets_;
};

bool HeaderReader::scalar(std::string_view what) {
  switch (at_) {
    case At::kStart:
      return stop("header is not a JSON object");
    case At::kMetadataItem:
      return stop(str_cat("\"", kMetadataKey, "\" is not an object"));
    case At::kMetadataValue:
      return stop(str_cat("\"", kMetadataKey, "\": the value of \"",
                          metadata_key_, "\" is not a string"));
    case At::kTensorItem:
      return tensor_stop("not an object");
    case At::kField:
      return tensor_stop(str_cat("\"", kFieldNames.at(field_), "\" is ", what,
                                 ", not ",
                                 field_ == kDtype ? "a string" : "an array"));
    case At::kArray:
      return tensor_stop(str_cat("\"", kFieldNames.at(field_), "\" holds ",
                                 what, ", not an unsigned integer"));
    default:
      return stop("header is not a JSON object");
  }
}

bool HeaderReader::number(std::optional<std::uint64_t> v,
                          const std::string& text) {
  if (at_ != At::kArray) return scalar("a number");
  if (!v) {
    return tensor_stop(str_cat("\"", kFieldNames.at(field_), "\" holds ", text,
                               ", not an unsigned integer"));
  }
  if (field_ == kShape) {
    tensors_.back().shape.push_back(*v);
  } else {
    if (offsets_.size() == 2) {
      return tensor_stop("\"data_offsets\" holds more than two numbers");
    }
    offsets_.push_back(*v);
  }
  return true;
}

bool HeaderReader::string(Json::string_t& v) {
  if (at_ == At::kMetadataValue) {
    at_ = At::kMetadata;
    return true;
  }
  if (at_ != At::kField || field_ != kDtype) return scalar("a string");
  TensorEntry& t = tensors_.back();
  const std::optional<std::uint32_t> bytes = dtype_bytes(v);
  if (!bytes) {
    return tensor_stop(
        str_cat("dtype \"", v, "\" is not one rows can be made of"));
  }
  t.dtype = std::move(v);
  t.element_bytes = *bytes;
  at_ = At::kTensor;
  return true;
}

bool HeaderReader::start_object(std::size_t /*elements*/) {
  switch (at_) {
    case At::kStart:
      at_ = At::kTop;
      return true;
    case At::kMetadataItem:
      at_ = At::kMetadata;
      return true;
    case At::kTensorItem:
      at_ = At::kTensor;
      seen_ = {};
      offsets_.clear();
      return true;
    default:
      return scalar("an object");
  }
}

bool HeaderReader::start_array(std::size_t /*elements*/) {
  if (at_ != At::kField || field_ == kDtype) return scalar("an array");
  at_ = At::kArray;
  return true;
}

bool HeaderReader::end_array() {
  at_ = At::kTensor;
  if (field_ == kOffsets && offsets_.size() != 2) {
    return tensor_stop("\"data_offsets\" is not two numbers");
  }
  return true;
}

bool HeaderReader::end_object() {
  switch (at_) {
    case At::kTop:
      at_ = At::kDone;
      return true;
    case At::kMetadata:
      at_ = At::kTop;
      return true;
    case At::kTensor:
      at_ = At::kTop;
      return finish_tensor();
    default:
      return stop("header is not a JSON object");
  }
}

bool HeaderReader::key(Json::string_t& name) {
  if (at_ == At::kTop) {
    if (name == kMetadataKey) {
      if (seen_metadata_) {
        return stop(str_cat("\"", kMetadataKey, "\" appears twice"));
      }
      seen_metadata_ = true;
      at_ = At::kMetadataItem;
      return true;
    }
    if (name.find('\0') != std::string::npos) {
      return stop("a tensor name holds a NUL character");
    }
    tensors_.emplace_back().name = std::move(name);
    at_ = At::kTensorItem;
    return true;
  }
  if (at_ == At::kMetadata) {
    metadata_key_ = name;
    metadata_keys_.push_back(std::move(name));
    at_ = At::kMetadataValue;
    return true;
  }
  // In a tensor's object: the parser gives keys nowhere else.
  const auto* found =
      std::find(kFieldNames.begin(), kFieldNames.end(), std::string_view(name));
  if (found == kFieldNames.end()) {
    return tensor_stop(str_cat("unexpected field \"", name, "\""));
  }
  field_ = static_cast<Field>(found - kFieldNames.begin());
  if (seen_.at(field_)) {
    return tensor_stop(str_cat("field \"", name, "\" appears twice"));
  }
  seen_.at(field_) = true;
  at_ = At::kField;
  return true;
}

// Checks the tensor just closed: every field present, and its offsets
// agreeing with its shape and dtype. Offsets stay relative here.
bool HeaderReader::finish_tensor() {
  for (std::size_t f = 0; f < kFields; ++f) {
    if (!seen_.at(f)) {
      return tensor_stop(str_cat("no \"", kFieldNames.at(f), "\""));
    }
  }
  TensorEntry& t = tensors_.back();
  t.begin = offsets_[0];
  t.end = offsets_[1];
  if (t.begin > t.end) {
    return tensor_stop(str_cat("data_offsets [", t.begin, ", ", t.end,
                               "] end before they begin"));
  }
  std::optional<std::uint64_t> count = 1;
  for (const std::uint64_t n : t.shape) {
    if (count) count = checked_mul(*count, n);
  }
  const std::optional<std::uint64_t> bytes =
      count ? checked_mul(*count, t.element_bytes) : std::nullopt;
  if (!bytes) {
    return tensor_stop(str_cat("shape ", shape_text(t.shape), " of ", t.dtype,
                               " is more than 2^64 bytes"));
  }
  if (*bytes != t.end - t.begin) {
    return tensor_stop(str_cat("shape ", shape_text(t.shape), " of ", t.dtype,
                               " is ", *bytes, " bytes but data_offsets give ",
                               t.end - t.begin));
  }
  return true;
}

// The first repeated string of `names` (sorted in place), if any.
std::optional<std::string_view> first_repeat(
    std::vector<std::string_view>& names) {
  std::sort(names.begin(), names.end());
  const auto at = std::adjacent_find(names.begin(), names.end());
  if (at == names.end()) return std::nullopt;
  return *at;
}

// Makes the offsets of `tensors` absolute (the data starting at
// `data_start`) and sorts the tensors by them; fails when one ends past
// `file_size` or two overlap.
Status place(const HeaderReader& reader, std::uint64_t data_start,
             std::uint64_t file_size, std::vector<TensorEntry>& tensors) {
  for (TensorEntry& t : tensors) {
    const std::optional<std::uint64_t> begin = checked_add(data_start, t.begin);
    const std::optional<std::uint64_t> end = checked_add(data_start, t.end);
    if (!begin || !end || *end > file_size) {
      return reader.fail(
          str_cat("tensor ", t.name, ": data ends past the file's end"));
    }
    t.begin = *begin;
    t.end = *end;
  }
  std::sort(tensors.begin(), tensors.end(),
            [](const TensorEntry& a, const TensorEntry& b) {
              return a.begin != b.begin ? a.begin < b.begin : a.name < b.name;
            });
  // Sorted by start, a tensor overlaps an earlier one exactly when it
  // starts before the furthest end seen so far. Empty tensors hold no byte.
  const TensorEntry* furthest = nullptr;
  for (const TensorEntry& t : tensors) {
    if (t.begin == t.end) continue;
    if (furthest != nullptr && t.begin < furthest->end) {
      return reader.fail(
          str_cat("tensors ", furthest->name, " and ", t.name, " overlap"));
    }
    if (furthest == nullptr || t.end > furthest->end) furthest = &t;
  }
  return ok();
}

}  // namespace

std::string shape_text(std::span<const std::uint64_t> shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) out += ", ";
    out += str_cat(shape[i]);
  }
  out += ']';
  return out;
}

std::optional<std::uint32_t> dtype_bytes(std::string_view dtype) {
  for (const DtypeSize& d : kDtypes) {
    if (d.name == dtype) return d.bytes;
  }
  return std::nullopt;
}

Result<SafetensorsHeader> parse_safetensors_header(std::string_view json,
                                                   std::uint64_t file_size,
                                                   std::string_view file_name) {
  HeaderReader reader(file_name);
  if (json.size() > kMaxSafetensorsHeader) {
    return reader.fail(str_cat("header of ", json.size(),
                               " bytes is larger than the ",
                               kMaxSafetensorsHeader, " this reader accepts"));
  }
  SafetensorsHeader out;
  out.data_start = kLengthBytes + json.size();
  if (out.data_start > file_size) {
    return reader.fail("header ends past the file's end");
  }
  if (json.size() < 2) return reader.fail("header is not a JSON object");
  // The parser would stop at a NUL byte as at the end of the text.
  if (json.find('\0') != std::string_view::npos) {
    return reader.fail("header holds a NUL byte");
  }
  // The parser would skip a byte-order mark, which JSON text may not hold.
  if (json.starts_with("\xEF\xBB\xBF")) {
    return reader.fail("header starts with a byte-order mark");
  }
  // Writers pad the JSON with spaces; the parser allows other blanks too,
  // which are refused after it.
  const std::string_view text = json.substr(0, json.find_last_not_of(' ') + 1);
  if (!nlohmann::json::sax_parse(text.begin(), text.end(), &reader)) {
    if (reader.error()) return *std::move(reader.error());
    return reader.fail("header is not valid JSON");
  }
  if (text.back() != '}') {
    return reader.fail("header ends in blanks other than spaces");
  }

  std::vector<std::string_view> keys(reader.metadata_keys().begin(),
                                     reader.metadata_keys().end());
  if (const auto repeat = first_repeat(keys)) {
    return reader.fail(
        str_cat("\"", kMetadataKey, "\": key \"", *repeat, "\" appears twice"));
  }
  std::vector<TensorEntry>& tensors = reader.tensors();
  std::vector<std::string_view> names;
  names.reserve(tensors.size());
  for (const TensorEntry& t : tensors) names.emplace_back(t.name);
  if (const auto repeat = first_repeat(names)) {
    return reader.fail(str_cat("tensor ", *repeat, " appears twice"));
  }

  if (Status placed = place(reader, out.data_start, file_size, tensors);
      !placed) {
    return std::move(placed).error();
  }
  out.tensors = std::move(tensors);
  return out;
}

Result<SafetensorsHeader> read_safetensors_header(int fd,
                                                  std::string_view file_name) {
  const auto os_fail = [&](const Error& e) {
    return e.with_prefix(str_cat(file_name, ": "));
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0) return os_fail(Error::from_errno(errno));
  const auto file_size = static_cast<std::uint64_t>(st.st_size);
  if (file_size < kLengthBytes) {
    return Error::invalid_argument(
        str_cat(file_name, ": too short for a safetensors header"));
  }
  std::array<std::byte, kLengthBytes> prefix{};
  if (Status read = read_exact_at(fd, prefix, 0); !read) {
    return os_fail(read.error());
  }
  std::uint64_t length = 0;
  for (std::size_t i = kLengthBytes; i-- > 0;) {
    length = (length << 8U) | std::to_integer<std::uint64_t>(prefix.at(i));
  }
  if (length > kMaxSafetensorsHeader) {
    return Error::invalid_argument(
        str_cat(file_name, ": header of ", length, " bytes is larger than the ",
                kMaxSafetensorsHeader, " this reader accepts"));
  }
  if (length > file_size - kLengthBytes) {
    return Error::invalid_argument(
        str_cat(file_name, ": header ends past the file's end"));
  }
  std::string json(static_cast<std::size_t>(length), '\0');
  if (Status read = read_exact_at(
          fd, std::as_writable_bytes(std::span(json.data(), json.size())),
          kLengthBytes);
      !read) {
    return os_fail(read.error());
  }
  return parse_safetensors_header(json, file_size, file_name);
}

}  // namespace larkspur::io
