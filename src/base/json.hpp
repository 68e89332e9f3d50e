#pragma once
// The JSON writing helpers of every document the module writes. Documents are written by hand into
// a growing text: strings only through `json_quote` (the one quoting helper), numbers with a fixed
// number of decimals per key (null when not finite), integers and booleans as they are.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace qm
