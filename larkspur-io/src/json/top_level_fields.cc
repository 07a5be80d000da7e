// An event handler that keeps the top-level values of chosen keys.
#include "larkspur-io/src/json/top_level_fields.h"

#include <nlohmann/json.hpp>
#include <string>

namespace larkspur::io {

namespace {

// The parser's error for a number it cannot hold as a double.
constexpr int kNumberOverflow = 406;

class FieldReader {
 public:
  using Json = nlohmann::json;

  FieldReader(std::span<const std::string_view> keys, TopLevelFields& out)
      : keys_(keys), out_(out) {}

  bool null() { return value(std::nullopt); }
  bool boolean(bool /*v*/) { return value(std::nullopt); }
  bool number_integer(Json::number_integer_t /*v*/) {
    return value(std::nullopt);
  }
  bool number_unsigned(Json::number_unsigned_t v) { return value(v); }
  bool number_float(Json::number_float_t /*v*/, const Json::string_t& /*s*/) {
    return value(std::nullopt);
  }
  bool string(Json::string_t& /*v*/) { return value(std::nullopt); }
  bool binary(Json::binary_t& /*v*/) { return value(std::nullopt); }
  bool start_object(std::size_t /*elements*/) {
    if (depth_ == 0) out_.top_is_object = true;
    return open();
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t /*elements*/) { return open(); }
  bool end_array() { return close(); }
  bool key(Json::string_t& name) {
    if (depth_ == 1) {
      pending_ = kMaxFields;
      for (std::size_t k = 0; k < keys_.size(); ++k) {
        if (name == keys_[k]) pending_ = k;
      }
    }
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& e) {
    out_.number_overflow = e.id == kNumberOverflow;
    return false;
  }

 private:
  // A value, scalar or not; at the top level of the object it settles the
  // key just read, if that is one of ours.
  bool value(std::optional<std::uint64_t> v) {
    if (depth_ == 1 && pending_ < kMaxFields) {
      out_.values[pending_] = FieldValue{true, v};
    }
    pending_ = kMaxFields;
    return true;
  }
  bool open() {
    value(std::nullopt);
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::span<const std::string_view> keys_;
  TopLevelFields& out_;
  std::size_t depth_ = 0;
  std::size_t pending_ = kMaxFields;
};

}  // namespace

TopLevelFields read_top_level_fields(std::string_view text,
                                     std::span<const std::string_view> keys) {
  TopLevelFields out;
  if (keys.size() > kMaxFields || text.find('\0') != std::string_view::npos) {
    return out;
  }
  FieldReader reader(keys, out);
  out.parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &reader);
  return out;
}

}  // namespace larkspur::io
