// The header block's part of the run, once the header is judged: why a header that stops the run
// makes no data file, the header block written to the new file, and its file header patched
// there once the new file is complete.
#pragma once

#include <cstdint>
#include <string>

#include "io/writer.hpp"
#include "outputs/output_file.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/header_judgement.hpp"

namespace datmend {

// Why the header that stops the run makes old_file, physical_eof bytes long, no data file, for
// standard error: the report tells it only in the words the tool has always printed.
std::string why_not_a_data_file(const HeaderJudgement& judgement, std::uint32_t physical_eof);

// Writes the header block to new_file at once: header with an empty freelist, then the tail of
// file's header block, so that a new file that cannot be written is found before the walk.
// False once the write has failed.
bool write_header_block(Writer& new_file, DamagedFile& file, FileHeader header);

// Rewrites new_file's file header, past its buffer, with an empty freelist and eof_address set to
// new_eof. Flush the new file first. False once the write has failed.
bool patch_new_header(OutputFile& new_file, FileHeader header, std::uint32_t new_eof);

}  // namespace datmend
