// The header block's part of the run, once the header is judged: every verdict's lines in the
// report, the header block written to the new file, and its file header patched there once the
// new file is complete.
#pragma once

#include <cstdint>

#include "driver/command_line.hpp"
#include "io/writer.hpp"
#include "outputs/output_file.hpp"
#include "salvage/damaged_file.hpp"
#include "salvage/dump.hpp"
#include "salvage/header_judgement.hpp"

namespace datmend {

// The lines of a header that stops the run, and its exit status: "Bad File Header 0" where there
// is none; the banner, the header report as read and the failed check's line where it is
// refused. Prints nothing and returns 0 for a header that is used.
int report_stopping_header(Writer& out, const Names& names, const HeaderJudgement& judgement);

// The report of a header that is used: as read (or that it could not be read), the failed check
// and the end-of-file warning against file's size; for a rebuilt header, what it was rebuilt as,
// and its 16 bytes as read dumped in damage as a discarded stretch, which counts as a file error.
void report_file_header(Writer& out, DamageLog& damage, DamagedFile& file,
                        const HeaderJudgement& judgement);

// Writes the header block to new_file at once: header with an empty freelist, then the tail of
// file's header block, so that a new file that cannot be written is found before the walk.
// False once the write has failed.
bool write_header_block(Writer& new_file, DamagedFile& file, FileHeader header);

// Rewrites new_file's file header, past its buffer, with an empty freelist and eof_address set to
// new_eof. Flush the new file first. False once the write has failed.
bool patch_new_header(OutputFile& new_file, FileHeader header, std::uint32_t new_eof);

}  // namespace datmend
