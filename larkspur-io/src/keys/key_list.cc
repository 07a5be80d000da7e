// Reading key list files through one 8192-byte buffer, line by line.
#include "larkspur-io/src/keys/key_list.h"

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "larkspur-core/src/base/file.h"
#include "larkspur-core/src/base/unique_fd.h"

namespace larkspur::io {

namespace {

constexpr std::size_t kBufferSize = 8192;

constexpr std::string_view kInvalidDigit = "invalid digit found in string";
constexpr std::string_view kTooLarge = "number too large to fit in target type";

// Reads a descriptor line by line through a fixed buffer.
class LineReader {
 public:
  explicit LineReader(UniqueFd fd) : fd_(std::move(fd)) {}

  // Replaces `line` with the bytes up to and including the next LF, or up
  // to the end of the file. Returns false at the end of the file when no
  // byte was left.
  Result<bool> next(std::string& line) {
    line.clear();
    while (true) {
      if (pos_ == len_) {
        Result<std::size_t> n = fill();
        if (!n) return std::move(n).error();
        if (*n == 0) return !line.empty();
      }
      const char* begin = buf_.data() + pos_;
      const std::string_view rest(begin, len_ - pos_);
      const std::size_t lf = rest.find('\n');
      const std::size_t take =
          lf == std::string_view::npos ? rest.size() : lf + 1;
      line.append(begin, take);
      pos_ += take;
      if (lf != std::string_view::npos) return true;
    }
  }

 private:
  Result<std::size_t> fill() {
    Result<std::size_t> n =
        read_some(fd_.get(), std::as_writable_bytes(std::span(buf_)));
    if (!n) return std::move(n).error();
    pos_ = 0;
    len_ = *n;
    return len_;
  }

  UniqueFd fd_;
  std::array<char, kBufferSize> buf_{};
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes the code point of the well-formed UTF-8 sequence s[0..n).
char32_t decode(const unsigned char* s, std::size_t n) {
  if (n == 1) return s[0];
  char32_t cp = s[0] & (0xFFU >> (n + 1));
  for (std::size_t i = 1; i < n; ++i) cp = (cp << 6) | (s[i] & 0x3FU);
  return cp;
}

std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// What a byte from 0x80 up says as the first of a sequence: its length (0
// when it cannot start one) and the bounds of the second byte, which
// exclude overlong forms, surrogates and code points above U+10FFFF.
struct LeadByte {
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
};

LeadByte lead_byte(unsigned char c) {
  LeadByte lead;
  if (c >= 0xC2 && c <= 0xDF) {
    lead.len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    lead.len = 3;
    if (c == 0xE0) lead.lo = 0xA0;
    if (c == 0xED) lead.hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    lead.len = 4;
    if (c == 0xF0) lead.lo = 0x90;
    if (c == 0xF4) lead.hi = 0x8F;
  }
  return lead;
}

}  // namespace

bool is_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    const LeadByte lead = lead_byte(c);
    if (lead.len == 0 || n - i < lead.len || s[i + 1] < lead.lo ||
        s[i + 1] > lead.hi) {
      return false;
    }
    for (std::size_t k = 2; k < lead.len; ++k) {
      if (!is_continuation(s[i + k])) return false;
    }
    i += lead.len;
  }
  return true;
}

std::string_view trim_white_space(std::string_view line) {
  const auto* s = reinterpret_cast<const unsigned char*>(line.data());
  std::size_t begin = 0;
  std::size_t end = line.size();
  while (begin < end) {
    const std::size_t len = sequence_length(s[begin]);
    if (!is_white_space(decode(s + begin, len))) break;
    begin += len;
  }
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && is_continuation(s[start])) --start;
    if (!is_white_space(decode(s + start, end - start))) break;
    end = start;
  }
  return line.substr(begin, end - begin);
}

Result<std::uint64_t> parse_key(std::string_view text) {
  if (text.empty() || text == "+" || text == "-") {
    return Error::io(std::string(kInvalidDigit));
  }
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::uint64_t value = 0;
  if (text.size() <= 16) {
    // Sixteen digits cannot overflow 64 bits.
    for (char c : text) {
      if (c < '0' || c > '9') return Error::io(std::string(kInvalidDigit));
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
  }
  for (char c : text) {
    std::uint64_t times_ten = 0;
    const bool overflowed = __builtin_mul_overflow(value, 10U, &times_ten);
    if (c < '0' || c > '9') return Error::io(std::string(kInvalidDigit));
    if (overflowed) return Error::io(std::string(kTooLarge));
    if (__builtin_add_overflow(times_ten, static_cast<std::uint64_t>(c - '0'),
                               &value)) {
      return Error::io(std::string(kTooLarge));
    }
  }
  return value;
}

Result<std::optional<std::uint64_t>> parse_key_line(std::string_view line) {
  if (!is_utf8(line)) return Error::io("stream did not contain valid UTF-8");
  if (line.ends_with('\n')) {
    line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
  }
  line = trim_white_space(line);
  if (line.empty()) return std::optional<std::uint64_t>();
  Result<std::uint64_t> key = parse_key(line);
  if (!key) return std::move(key).error();
  return std::optional<std::uint64_t>(*key);
}

Result<std::vector<std::uint64_t>> parse_key_text(std::string_view text) {
  std::vector<std::uint64_t> keys;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    const std::size_t take =
        lf == std::string_view::npos ? text.size() : lf + 1;
    Result<std::optional<std::uint64_t>> key =
        parse_key_line(text.substr(0, take));
    if (!key) return std::move(key).error();
    if (*key) keys.push_back(**key);
    text.remove_prefix(take);
  }
  return keys;
}

Result<std::vector<std::uint64_t>> parse_key_file(std::string_view path) {
  // A regular file only: a FIFO would wait for a writer, /dev/zero never
  // ends.
  Result<OpenFile> file = open_file(path, FileKinds::kRegular);
  if (!file) return std::move(file).error();
  LineReader reader(std::move(file->fd));
  std::vector<std::uint64_t> keys;
  std::string line;
  while (true) {
    Result<bool> more = reader.next(line);
    if (!more) return std::move(more).error();
    if (!*more) return keys;
    Result<std::optional<std::uint64_t>> key = parse_key_line(line);
    if (!key) return std::move(key).error();
    if (*key) keys.push_back(**key);
  }
}

}  // namespace larkspur::io
