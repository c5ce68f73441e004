// The map's faults worded for the user: the line, the numbers in decimal, and a word of the map
// quoted so that no byte of it can disturb a terminal or a log.
#include "driver/map_failure.hpp"

#include <cerrno>
#include <string_view>

#include "driver/exit_status.hpp"
#include "driver/failure.hpp"

namespace datmend {

namespace {

constexpr std::size_t kLongestQuote = 32;

// word between single quotes: its first 32 bytes, and "..." when there are more, every
// byte outside printable ASCII as \xhh.
std::string quoted(std::string_view word) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string q = "'";
    for (const char c : word.substr(0, kLongestQuote)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            q += c;
        } else {
            q += "\\x";
            q += kHex[byte >> 4];
            q += kHex[byte & 0xf];
        }
    }
    return q + (word.size() > kLongestQuote ? "...'" : "'");
}

// What is wrong with the map or one of its lines, without the line's number.
std::string what_is_wrong(const std::string& old_file, const MapFault& fault) {
    using Kind = MapFault::Kind;
    switch (fault.kind) {
        case Kind::line_too_long:
            return "longer than " + std::to_string(kLongestMapLine) + " bytes";
        case Kind::not_a_status_line:
            return "not a status line";
        case Kind::not_a_block:
            return "not a block";
        case Kind::unknown_status:
            return "unknown status " + quoted(fault.word);
        case Kind::negative_number:
            return "negative number";
        case Kind::not_a_number:
            return "not a number";
        case Kind::number_too_large:
            return "number too large";
        case Kind::empty_block:
            return "empty block";
        case Kind::misplaced_block:
            return "block starts at " + std::to_string(fault.found) + ", not at " +
                   std::to_string(fault.expected);
        case Kind::ends_short:
            return "covers " + std::to_string(fault.found) + " bytes, " + old_file + " has " +
                   std::to_string(fault.expected);
        case Kind::rescued_past_end:
            return "rescued block past the end of " + old_file + " (" +
                   std::to_string(fault.expected) + " bytes)";
        case Kind::no_status_line:
            return "no status line";
        case Kind::none:
        case Kind::unreadable:
        case Kind::file_too_large:
            break;  // told otherwise
    }
    return "";
}

}  // namespace

int report_map_failure(std::FILE* err, const std::string& mapfile, const std::string& old_file,
                       const MapFault& fault) {
    if (fault.kind == MapFault::Kind::unreadable) {
        return report_file_error(err, mapfile, fault.errnum, kOldOrNewFileFailed);
    }
    // The map makes the file as long as the original, which is then refused as it would be.
    if (fault.kind == MapFault::Kind::file_too_large) {
        return report_file_error(err, old_file, EOVERFLOW, kOldOrNewFileFailed);
    }
    std::string reason = what_is_wrong(old_file, fault);
    if (fault.line != 0) {
        reason = "line " + std::to_string(fault.line) + ": " + reason;
    }
    return report_failure(err, mapfile, reason.c_str(), kOldOrNewFileFailed);
}

}  // namespace datmend
