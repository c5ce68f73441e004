// A salvage state over a real damaged file, with the report captured in memory, for testing the
// salvage pieces in-process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "salvage/salvage_state.hpp"
#include "support.hpp"

namespace testkit {

class Harness {
  public:
    explicit Harness(const Bytes& file, std::uint16_t organization = 0,
                     std::int32_t record_length = 0) {
        write_file(dir.file("old.dat"), file);
        std::uint64_t size = 0;
        state.damaged.open(dir.file("old.dat").c_str());
        state.damaged.measure(size);
        state.physical_eof = static_cast<std::uint32_t>(size);
        state.file_header.organization = organization;
        state.file_header.record_length = record_length;
        state.out = open_memstream(&text_, &size_);
    }
    ~Harness() {
        std::fclose(state.out);
        std::free(text_);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    std::string output() {
        std::fflush(state.out);
        return {text_, size_};
    }

    ScratchDir dir;
    datmend::SalvageState state;

  private:
    char* text_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace testkit
