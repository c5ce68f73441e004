// Resynchronisation: after a record that contradicts the file, where the next plausible one is.
// The scan only searches: it prints, dumps and counts nothing.
#pragma once

#include <cstdint>
#include <optional>

#include "format/layout.hpp"
#include "salvage/damaged_file.hpp"

namespace datmend {

// The first offset after start at which a plausible record lies, preferring one that the record
// after it confirms; nullopt when there is none before the end of the file. A plausible record
// is intact by check_frame() under rules, of a type up to kHighestKnownType, and not empty.
std::optional<std::uint32_t> find_next_record(DamagedFile& file, const FrameRules& rules,
                                              std::uint32_t start);

}  // namespace datmend
