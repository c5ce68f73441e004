// datgen: writes generated data files.
//   datgen sample FILE            the shipped damaged sample
//   datgen random SEED FILE       a small, usually damaged file
//   datgen corpus DIR             the fuzz target's seed recipes, into an existing folder
//   datgen expand RECIPE FILE     the data file a recipe describes (its disk's faults left out)
//   datgen workload W1..W9 BYTES FILE   a benchmark workload (W6 is W1's file)
//   datgen stretch W1..W9 BYTES FILE    its damaged stretch alone; status 1 when it has none
// Exit status 0, or 1 on a wrong command line or a failed write.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datgen.hpp"
#include "recipe.hpp"

namespace {

int save(const datgen::Bytes& b, const char* path) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr || std::fwrite(b.data(), 1, b.size(), f) != b.size() || std::fclose(f) != 0) {
        std::perror(path);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "sample" && argc == 3) {
        return save(datgen::make_sample(), argv[2]);
    }
    if (what == "random" && argc == 4) {
        return save(
            datgen::random_damaged(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10))),
            argv[3]);
    }
    if (what == "corpus" && argc == 3) {
        for (const auto& [name, bytes] : datgen::recipe_corpus()) {
            if (save(bytes, (std::string(argv[2]) + "/" + name).c_str()) != 0) {
                return 1;
            }
        }
        return 0;
    }
    if (what == "expand" && argc == 4) {
        const datgen::Bytes r = datbuild::read_file(argv[2]);
        return datgen::expand_recipe(datgen::parse_recipe(r.data(), r.size()), argv[3]) ? 0 : 1;
    }
    if (what == "workload" && argc == 5) {
        const datgen::Bytes b = datgen::workload(argv[2], std::strtoull(argv[3], nullptr, 10));
        if (!b.empty()) {
            return save(b, argv[4]);
        }
    }
    if (what == "stretch" && argc == 5) {
        const datgen::Bytes b = datgen::workload(argv[2], std::strtoull(argv[3], nullptr, 10));
        const datgen::Stretch s =
            datgen::workload_stretch(argv[2], std::strtoull(argv[3], nullptr, 10));
        if (s.last != 0) {
            const datgen::Bytes part(b.begin() + static_cast<std::ptrdiff_t>(s.first),
                                     b.begin() + static_cast<std::ptrdiff_t>(s.last + 1));
            return save(part, argv[4]);
        }
        return 1;
    }
    std::fputs(
        "usage: datgen sample FILE | random SEED FILE | corpus DIR | expand RECIPE FILE | "
        "workload|stretch W1..W9 BYTES FILE\n",
        stderr);
    return 1;
}
