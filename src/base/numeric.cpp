#include "base/numeric.hpp"

#include <charconv>
#include <system_error>

namespace qm {

std::optional<double> parse_plain_decimal(std::string_view text) {
  const std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
  int digits = 0, dots = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++dots;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || dots > 1) return std::nullopt;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace qm
