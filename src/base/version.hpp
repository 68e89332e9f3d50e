#pragma once
// Which exporter speaks: the module's version, and the version of the documents' and the streams'
// interface that pages check.
#include <cstdint>
#include <string_view>

namespace qm {

inline constexpr std::string_view kExporterVersion = "1.1.0";
inline constexpr std::uint64_t kApiVersion = 1;

}  // namespace qm
