#include "base/json.hpp"

#include "base/fault.hpp"
#include "base/utf8.hpp"

#include <charconv>
#include <cmath>
#include <vector>

namespace qm {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

void append_escape(std::string& out, char32_t code_point) {
  out.append("\\u");
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(hex_digits[(code_point >> shift) & 0xF]);
}

}  // namespace

void json_quote(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      // A run of characters written as they are goes in with one append.
      std::size_t end = i + 1;
      while (end < text.size()) {
        const auto d = static_cast<unsigned char>(text[end]);
        if (d < 0x20 || d >= 0x7F || d == '"' || d == '\\') break;
        ++end;
      }
      out.append(text.data() + i, end - i);
      i = end;
      continue;
    }
    if (c < 0x80) {
      switch (c) {
        case '\t': out.append("\\t"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        default:
          if (c < 0x20 || c == 0x7F) {
            append_escape(out, c);
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
      ++i;
      continue;
    }
    const Utf8Sequence sequence = utf8_sequence_at(text, i);
    const std::size_t length = sequence.length;
    if (!sequence.valid) {
      out.append("\xEF\xBF\xBD");
      i += length;
      continue;
    }
    if (sequence.code_point == 0x2028 || sequence.code_point == 0x2029) {
      append_escape(out, sequence.code_point);
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  out.push_back('"');
}

std::string json_quote(std::string_view text) {
  std::string out;
  json_quote(out, text);
  return out;
}

void json_number(std::string& out, std::optional<double> value, std::uint16_t decimals) {
  if (!value || !std::isfinite(*value)) {
    out.append("null");
    return;
  }
  // The longest fixed form: 309 integer digits, a sign, a point and the decimals.
  char small[400];
  if (decimals <= 64) {
    const auto result = std::to_chars(small, small + sizeof small, *value, std::chars_format::fixed, decimals);
    out.append(small, result.ptr);
    return;
  }
  std::vector<char> large(static_cast<std::size_t>(decimals) + 320);
  const auto result = std::to_chars(large.data(), large.data() + large.size(), *value, std::chars_format::fixed, decimals);
  out.append(large.data(), result.ptr);
}

std::string json_number(std::optional<double> value, std::uint16_t decimals) {
  std::string out;
  json_number(out, value, decimals);
  return out;
}

void json_opt_string(std::string& out, std::optional<std::string_view> text) {
  if (text) {
    json_quote(out, *text);
  } else {
    out.append("null");
  }
}

std::string json_opt_string(std::optional<std::string_view> text) {
  std::string out;
  json_opt_string(out, text);
  return out;
}

void json_uint(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void JsonWriter::open(char bracket, bool array) {
  check(depth_ < kDeepest, "a JSON document nests too deep");
  separate();
  value_written();
  out_.push_back(bracket);
  depth_ += 1;
  const std::uint64_t bit = std::uint64_t{1} << depth_;
  has_items_ &= ~bit;
  arrays_ = array ? arrays_ | bit : arrays_ & ~bit;
}

void JsonWriter::close(char bracket, bool array) {
  const bool open_array = (arrays_ >> depth_) & 1;
  check(depth_ > 0 && open_array == array && !after_key_, "a JSON object or array closed out of turn");
  depth_ -= 1;
  out_.push_back(bracket);
}

JsonWriter& JsonWriter::begin_object() {
  open('{', false);
  return *this;
}

JsonWriter& JsonWriter::begin_array() {
  open('[', true);
  return *this;
}

JsonWriter& JsonWriter::end_object() {
  close('}', false);
  return *this;
}

JsonWriter& JsonWriter::end_array() {
  close(']', true);
  return *this;
}

JsonWriter& JsonWriter::text(std::string_view value) {
  return this->value([value](std::string& out) { json_quote(out, value); });
}

JsonWriter& JsonWriter::opt_text(std::optional<std::string_view> value) {
  return this->value([value](std::string& out) { json_opt_string(out, value); });
}

JsonWriter& JsonWriter::number(std::optional<double> value, std::uint16_t decimals) {
  return this->value([value, decimals](std::string& out) { json_number(out, value, decimals); });
}

JsonWriter& JsonWriter::opt_uint(std::optional<std::uint64_t> value) {
  if (!value) return null();
  return integer(*value);
}

JsonWriter& JsonWriter::boolean(bool value) {
  return this->value([value](std::string& out) { json_bool(out, value); });
}

JsonWriter& JsonWriter::null() { return raw("null"); }

JsonWriter& JsonWriter::raw(std::string_view document) {
  return value([document](std::string& out) { out.append(document); });
}

JsonWriter& JsonWriter::raw_members(std::string_view members) {
  check(!after_key_, "JSON members after a key");
  separate();
  out_.append(members);
  has_items_ |= std::uint64_t{1} << depth_;
  return *this;
}

JsonWriter& JsonWriter::members_follow() {
  has_items_ |= std::uint64_t{1} << depth_;
  return *this;
}

}  // namespace qm
