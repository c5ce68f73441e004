// The file header judged by the records: read, checked, and where it is damaged or says that the
// records are of fixed length, held to the first records of the file. A function of the damaged
// file: it prints nothing and changes nothing but what the file has found unreadable.
#pragma once

#include "format/layout.hpp"
#include "salvage/damaged_file.hpp"

namespace datmend {

enum class HeaderVerdict {
    whole,      // the file header is used as read
    rebuilt,    // damaged or contradicted by the records, and rebuilt from them
    no_header,  // fewer than 16 bytes, or an unreadable header that no records vouch for
    refused,    // another kind of file, or a header that no records vouch for
};

struct HeaderJudgement {
    HeaderVerdict verdict = HeaderVerdict::no_header;
    FileHeader as_read;     // zeros where its bytes could not be read
    bool readable = false;  // all 16 bytes of it
    FileHeader header;      // the one the run uses: as read, or rebuilt; as read when refused
};

class Findings;

// Reads the file header of file (measured) and judges it, reading the first records, once, where
// it is damaged or says that they are of fixed length; how far that reading has come goes to
// progress, when given, and nothing else.
HeaderJudgement judge_file_header(DamagedFile& file, Findings* progress = nullptr);

}  // namespace datmend
