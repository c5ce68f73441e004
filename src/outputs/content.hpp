// The second witness that two names are one file, where their device and inode numbers differ
// (the layers of an overlay, a passthrough filesystem) or where one is a copy made with its times
// kept: the same bytes at the start and at the end, where both can be read.
#pragma once

#include <cstdint>

namespace datmend {

// How much of each end of the files is compared: the header block and well past it.
constexpr std::uint64_t kComparedEnd = std::uint64_t{256} << 10;

// True when the files open as a and b, both taken to be size bytes long, hold the same bytes in
// their first and last kComparedEnd bytes (in all of them, where they are shorter than twice
// that). A sector that either cannot read is left out, and so is what either no longer has.
// Reads through a bounded buffer, taken here.
bool same_content(int a, int b, std::uint64_t size);

}  // namespace datmend
