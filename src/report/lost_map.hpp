// The map of what the salvage lost, one sink of the findings: a GNU ddrescue mapfile of the
// damaged file, as ddrescuelog, ddrescueview and ddrescue -m read it, "+" over every byte the
// salvage kept (the header block, every record it took) and "-" over every byte it dumped. Its
// lines are written as the findings come, so that memory stays the same whatever the damage.
#pragma once

#include <cstdint>
#include <string>

#include "io/writer.hpp"
#include "salvage/findings.hpp"

namespace datmend {

class LostMap final : public Findings {
  public:
    // A map to out of a damaged file of size bytes, salvaged by the command line whose words
    // after the program's name are typed; its comment lines are written now.
    LostMap(Writer& out, const std::string& typed, std::uint32_t size);

    void header(const HeaderJudgement& judgement) override;
    void records(const RecordRun& run) override;
    void discarded(const Stretch& stretch) override;
    void repaired(const RepairedRecord&) override {}
    void reached(std::uint32_t) override {}

    // The last block, up to the end of the file.
    void finish();

  private:
    // Bytes first to end have status: the block before grows, or a new one begins.
    void cover(std::uint32_t first, std::uint32_t end, char status);
    void write_block();
    void cover_header_block();

    Writer& out_;
    std::uint32_t size_;
    bool header_pending_ = false;  // the header block's "+" is still to come
    std::uint32_t block_ = 0;      // where the block not yet written starts
    std::uint32_t end_ = 0;        // where it ends: the map covers 0 to here
    char status_ = '+';
};

}  // namespace datmend
