#pragma once
// The JSON writing helpers of every document the module writes. Documents are written by hand into
// a growing text: strings only through `json_quote` (the one quoting helper), numbers with a fixed
// number of decimals per key (null when not finite), integers and booleans as they are.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/fault.hpp"

namespace qm {

// Appends the JSON string literal of a text: short escapes for tab, line feed, carriage return,
// quotation mark and backslash; \u00XX for other control characters, U+007F, U+2028 and U+2029;
// everything else copied as UTF-8. Invalid UTF-8 is replaced by U+FFFD, so the output is always
// valid JSON.
void json_quote(std::string& out, std::string_view text);
std::string json_quote(std::string_view text);

// Appends a number in fixed-point notation with exactly `decimals` digits after the point (no point
// for 0), correctly rounded, never in exponent form; "null" when absent or not finite.
void json_number(std::string& out, std::optional<double> value, std::uint16_t decimals);
std::string json_number(std::optional<double> value, std::uint16_t decimals);

// Appends "null" when absent, else the quoted text.
void json_opt_string(std::string& out, std::optional<std::string_view> text);
std::string json_opt_string(std::optional<std::string_view> text);

// Appends an unsigned integer in decimal.
void json_uint(std::string& out, std::uint64_t value);

// Appends true or false.
inline void json_bool(std::string& out, bool value) { out.append(value ? "true" : "false"); }

// Writes a document into the caller's text one member or element at a time and puts the commas
// between them itself. It holds no memory of its own: what it writes goes into `out`, so a document
// built on the host's thread allocates only the text the host's thread owns. Keys are the module's
// own names and are written as they are; text values go through `json_quote`, numbers through
// `json_number`.
//
// A writer may also continue a document another piece of code opened: `members_follow` says the
// open object (or, at the top, the run of members being written) already has members, so the next
// key is preceded by a comma.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();

  // The comma when one is due, then "name":. The value written next belongs to it.
  JsonWriter& key(std::string_view name);

  JsonWriter& text(std::string_view value);
  JsonWriter& opt_text(std::optional<std::string_view> value);
  JsonWriter& number(std::optional<double> value, std::uint16_t decimals);
  JsonWriter& integer(std::uint64_t value);
  JsonWriter& opt_uint(std::optional<std::uint64_t> value);
  JsonWriter& boolean(bool value);
  JsonWriter& null();
  // A value another writer made (an object, an array, a number...), copied as it is.
  JsonWriter& raw(std::string_view document);
  // Members another writer made ("a":1,"b":2), copied as they are into the open object; the comma
  // before them is put when one is due, and an empty text still counts as members.
  JsonWriter& raw_members(std::string_view members);

  // The open object already has members: the next key takes a comma.
  JsonWriter& members_follow();

  std::string& out() { return out_; }

 private:
  void separate();  // before a key, or before an element of an array
  void open(char bracket, bool array);
  void close(char bracket, bool array);
  void value_written();
  // One value: the comma when one is due, what `write` appends, and the level marked as not empty.
  template <class Write>
  JsonWriter& value(Write write);

  // One bit per open level (the top is level 0): whether it has a member or element yet, and
  // whether it is an array. Documents nest far less deep than 64 levels.
  static constexpr unsigned kDeepest = 63;
  std::string& out_;
  std::uint64_t has_items_ = 0;
  std::uint64_t arrays_ = 0;
  unsigned depth_ = 0;
  bool after_key_ = false;
};

// The glue of every member is inline: documents such as the unit lists write one key and one value
// per field of thousands of records.
inline void JsonWriter::separate() {
  if (after_key_) return;  // the value of a key: the comma went before the key
  if (has_items_ & (std::uint64_t{1} << depth_)) out_.push_back(',');
}

inline void JsonWriter::value_written() {
  after_key_ = false;
  has_items_ |= std::uint64_t{1} << depth_;
}

inline JsonWriter& JsonWriter::key(std::string_view name) {
  check(!after_key_, "a JSON key without a value");
  separate();
  has_items_ |= std::uint64_t{1} << depth_;
  out_.push_back('"');
  out_.append(name);
  out_.append("\":");
  after_key_ = true;
  return *this;
}

template <class Write>
JsonWriter& JsonWriter::value(Write write) {
  separate();
  write(out_);
  value_written();
  return *this;
}

inline JsonWriter& JsonWriter::integer(std::uint64_t value) {
  return this->value([value](std::string& out) { json_uint(out, value); });
}

}  // namespace qm
