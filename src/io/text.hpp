// Text formatted in place, into room that Writer::reserve() gave, for the messages printed once
// per damaged record: each function writes at p and returns the end of what it wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace datmend {

inline char* format_text(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// value in signed decimal, as printf's %d writes it: at most kDecimalWidth characters.
constexpr std::size_t kDecimalWidth = 11;
char* format_decimal(char* p, std::int32_t value);

}  // namespace datmend
