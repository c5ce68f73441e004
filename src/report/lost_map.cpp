// A block is written once the next one has another status, in ddrescue's own layout; positions
// and sizes as 8 hex digits or more, which every file below 2 GiB fits.
#include "report/lost_map.hpp"

#include <algorithm>

namespace datmend {

namespace {

// The command line on one comment line: a byte that would end the line or disturb a terminal
// is written \xhh.
std::string comment_safe(const std::string& words) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string safe;
    for (const char c : words) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            safe += c;
        } else {
            safe += "\\x";
            safe += kHex[byte >> 4];
            safe += kHex[byte & 0xf];
        }
    }
    return safe;
}

// "0x" and value as 8 upper-case hex digits, at p; returns the end.
char* format_hex(char* p, std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    *p++ = '0';
    *p++ = 'x';
    for (int shift = 28; shift >= 0; shift -= 4) {
        *p++ = kDigits[(value >> shift) & 0xF];
    }
    return p;
}

}  // namespace

LostMap::LostMap(Writer& out, const std::string& typed, std::uint32_t size)
    : out_(out), size_(size) {
    out_.write("# Mapfile. Created by datmend " DATMEND_VERSION "\n");
    const std::string line = "# Command line: datmend" + comment_safe(typed) + "\n";
    out_.write(line.data(), line.size());
    out_.write("# current_pos  current_status  current_pass\n");
    out_.write("0x00000000     +               1\n");
    out_.write("#      pos        size  status\n");
}

void LostMap::header(const HeaderJudgement&) {
    header_pending_ = true;
}

void LostMap::records(const RecordRun& run) {
    cover_header_block();
    cover(run.first, run.end, '+');
}

void LostMap::discarded(const Stretch& stretch) {
    if (header_pending_ && stretch.first < kHeaderBlockSize) {
        cover(stretch.first, stretch.last + 1, '-');  // a rebuilt header's 16 bytes
    }
    cover_header_block();
    if (stretch.first >= kHeaderBlockSize) {
        cover(stretch.first, stretch.last + 1, '-');
    }
}

void LostMap::finish() {
    cover_header_block();
    if (end_ > block_) {
        write_block();
    }
}

// The header block, or what the file has of it, kept but for what came of it dumped.
void LostMap::cover_header_block() {
    if (header_pending_) {
        header_pending_ = false;
        cover(end_, std::min(kHeaderBlockSize, size_), '+');
    }
}

void LostMap::cover(std::uint32_t first, std::uint32_t end, char status) {
    if (first == end) {
        return;
    }
    if (status != status_ && end_ > block_) {
        write_block();
        block_ = first;
    }
    status_ = status;
    end_ = end;
}

void LostMap::write_block() {
    constexpr std::size_t kLine = 10 + 2 + 10 + 2 + 2;
    char* const start = out_.reserve(kLine);
    char* p = format_hex(start, block_);
    *p++ = ' ';
    *p++ = ' ';
    p = format_hex(p, end_ - block_);
    *p++ = ' ';
    *p++ = ' ';
    *p++ = status_;
    *p++ = '\n';
    out_.commit(static_cast<std::size_t>(p - start));
}

}  // namespace datmend
