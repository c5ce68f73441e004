// Generator of data files, intact and damaged, shared by the tests, the shipped sample, the
// fuzz corpus and the benchmark. It builds bytes with the byte-level builder.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "builder.hpp"

namespace datgen {

using datbuild::Bytes;

// The small damaged file shipped as examples/damaged.dat.
Bytes make_sample();

// A small file, usually damaged in a few places, the same for the same seed.
Bytes random_damaged(std::uint32_t seed);

// A clean file with one known damage, an overwritten stretch or a damaged length field, and the
// data of each active record the damage did not touch: a salvage should keep every one of them.
struct DamageCase {
    Bytes file;
    std::vector<Bytes> intact;
};
DamageCase one_damage(std::uint32_t seed);

// A benchmark workload of about size bytes: "W1" .. "W5", "W7" .. "W9"; empty for an unknown
// name.
Bytes workload(const std::string& name, std::size_t size);

// Where a workload's damaged stretch lies, [first, last], or {0, 0} when it has none.
struct Stretch {
    std::size_t first = 0;
    std::size_t last = 0;
};
Stretch workload_stretch(const std::string& name, std::size_t size);

}  // namespace datgen
