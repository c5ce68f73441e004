// A mapfile is read line by line: comments (#) and blank lines are skipped, the first other line
// is the status line (position, status character, optional pass), and every line after it is a
// block (position, size, status character). Numbers are decimal, hexadecimal with 0x, or octal
// with a leading 0. The blocks must follow one another from position 0 with neither gap nor
// overlap and cover the whole file; past its end they may go on, if not rescued, as when the
// rescue could not read the original's last sectors and the copy stops short.
#include "salvage/rescue_map.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <string_view>

namespace datmend {

namespace {

using Kind = MapFault::Kind;

// Positions and sizes are signed 64-bit in a mapfile.
constexpr std::uint64_t kLargestNumber = std::numeric_limits<std::int64_t>::max();

MapFault fault_at(std::uint64_t line, Kind kind, std::uint64_t found = 0,
                  std::uint64_t expected = 0) {
    MapFault fault;
    fault.kind = kind;
    fault.line = line;
    fault.found = found;
    fault.expected = expected;
    return fault;
}

// The first three words of a line, split at blanks, and how many there are, up to four.
struct Words {
    std::array<std::string_view, 3> word;
    std::size_t count = 0;
};

Words words_of(std::string_view line) {
    Words words;
    for (std::size_t at = 0; words.count < 4;) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
        if (words.count < words.word.size()) {
            words.word[words.count] = line.substr(at, end - at);
        }
        ++words.count;
        at = end;
    }
    return words;
}

// A number as ddrescue writes one, or what is wrong with it.
struct Number {
    std::uint64_t value = 0;
    Kind wrong = Kind::none;
};

// word is one of a line's words, never empty; neither is what follows a base's prefix.
Number parse_number(std::string_view word) {
    if (word[0] == '-' || word[0] == '+') {
        return {0, word[0] == '-' ? Kind::negative_number : Kind::not_a_number};
    }
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    } else if (word.size() > 1 && word[0] == '0') {
        base = 8;
        word.remove_prefix(1);
    }
    std::uint64_t value = 0;
    for (const char c : word) {
        int digit = base;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit >= base) {
            return {0, Kind::not_a_number};
        }
        const auto d = static_cast<std::uint64_t>(digit);
        if (value > (kLargestNumber - d) / static_cast<std::uint64_t>(base)) {
            return {0, Kind::number_too_large};
        }
        value = value * static_cast<std::uint64_t>(base) + d;
    }
    return {value, Kind::none};
}

constexpr std::string_view kBlockStatuses = "+?*/-";
constexpr std::string_view kStatusLineStatuses = "?*/-FG+";

bool is_status(std::string_view word, std::string_view allowed) {
    return word.size() == 1 && allowed.find(word[0]) != std::string_view::npos;
}

// Two numbers and a block's status character make a block, wherever the line is.
bool looks_like_block(const Words& words) {
    return words.count == 3 && parse_number(words.word[0]).wrong == Kind::none &&
           parse_number(words.word[1]).wrong == Kind::none &&
           is_status(words.word[2], kBlockStatuses);
}

// Takes a map's lines in turn, marking the file as its blocks say, and keeps where they reach.
class MapReader {
  public:
    MapReader(DamagedFile& file, std::uint64_t size_limit)
        : file_(file), copy_size_(file.physical_eof()), size_limit_(size_limit) {}

    // Takes line n; returns what is wrong with it, if anything.
    MapFault take(std::uint64_t n, std::string_view line) {
        const Words words = words_of(line);
        if (words.count == 0 || words.word[0][0] == '#') {
            return {};
        }
        return seen_status_ ? take_block(n, words) : take_status(n, words);
    }

    // Once every line has been taken: what is wrong with the map as a whole, if anything.
    MapFault finish() const {
        if (!seen_status_) {
            return fault_at(0, Kind::no_status_line);
        }
        if (covered_ < copy_size_) {
            return fault_at(0, Kind::ends_short, covered_, copy_size_);
        }
        return {};
    }

  private:
    MapFault take_status(std::uint64_t n, const Words& words) {
        if (looks_like_block(words)) {
            return fault_at(0, Kind::no_status_line);
        }
        if (words.count < 2 || words.count > 3) {
            return fault_at(n, Kind::not_a_status_line);
        }
        if (const Kind wrong = parse_number(words.word[0]).wrong; wrong != Kind::none) {
            return fault_at(n, wrong);
        }
        if (!is_status(words.word[1], kStatusLineStatuses)) {
            return unknown_status(n, words.word[1]);
        }
        if (words.count == 3) {
            if (const Kind wrong = parse_number(words.word[2]).wrong; wrong != Kind::none) {
                return fault_at(n, wrong);
            }
        }
        seen_status_ = true;
        return {};
    }

    MapFault take_block(std::uint64_t n, const Words& words) {
        if (words.count != 3) {
            return fault_at(n, Kind::not_a_block);
        }
        const Number pos = parse_number(words.word[0]);
        const Number size = parse_number(words.word[1]);
        for (const Number& number : {pos, size}) {
            if (number.wrong != Kind::none) {
                return fault_at(n, number.wrong);
            }
        }
        if (!is_status(words.word[2], kBlockStatuses)) {
            return unknown_status(n, words.word[2]);
        }
        if (size.value == 0) {
            return fault_at(n, Kind::empty_block);
        }
        if (pos.value != covered_) {
            return fault_at(n, Kind::misplaced_block, pos.value, covered_);
        }
        if (size.value > kLargestNumber - pos.value) {
            return fault_at(n, Kind::number_too_large);
        }
        const std::uint64_t end = pos.value + size.value;
        const bool rescued = words.word[2][0] == '+';
        if (end > copy_size_) {
            // Past the copy's end, the original's bytes are in the file and unreadable.
            if (rescued) {
                return fault_at(n, Kind::rescued_past_end, 0, copy_size_);
            }
            if (end >= size_limit_) {
                return fault_at(n, Kind::file_too_large, end);
            }
            file_.extend(static_cast<std::uint32_t>(end));
        }
        if (!rescued) {
            file_.mark_unreadable_sectors(static_cast<std::uint32_t>(pos.value),
                                          static_cast<std::uint32_t>(end));
        }
        covered_ = end;
        return {};
    }

    static MapFault unknown_status(std::uint64_t n, std::string_view word) {
        MapFault fault = fault_at(n, Kind::unknown_status);
        fault.word = word;
        return fault;
    }

    DamagedFile& file_;
    const std::uint64_t copy_size_;   // the file as measured, before the map extends it
    const std::uint64_t size_limit_;  // the file must stay below this
    bool seen_status_ = false;
    std::uint64_t covered_ = 0;  // the blocks so far cover 0 to here
};

enum class Got { line, end, too_long, failed };

// Reads the next line of map into line, its newline left out, and its length; a last line may
// lack its newline. Reads no more than kLongestMapLine + 1 bytes of a line.
Got next_line(std::FILE* map, std::array<char, kLongestMapLine>& line, std::size_t& length) {
    length = 0;
    for (int c; (c = getc_unlocked(map)) != EOF;) {
        if (c == '\n') {
            return Got::line;
        }
        if (length == line.size()) {
            return Got::too_long;
        }
        line[length++] = static_cast<char>(c);
    }
    if (std::ferror(map)) {
        return Got::failed;
    }
    return length > 0 ? Got::line : Got::end;
}

}  // namespace

MapFault apply_rescue_map(int fd, DamagedFile& file, std::uint64_t size_limit) {
    std::FILE* map = fdopen(fd, "r");
    if (map == nullptr) {
        MapFault fault = fault_at(0, Kind::unreadable);
        fault.errnum = errno;
        ::close(fd);
        return fault;
    }
    MapReader reader(file, size_limit);
    std::array<char, kLongestMapLine> line;
    std::size_t length = 0;
    MapFault fault;
    for (std::uint64_t n = 1; fault.ok(); ++n) {
        errno = 0;
        const Got got = next_line(map, line, length);
        if (got == Got::line) {
            fault = reader.take(n, std::string_view(line.data(), length));
        } else if (got == Got::too_long) {
            fault = fault_at(n, Kind::line_too_long);
        } else if (got == Got::failed) {
            fault = fault_at(0, Kind::unreadable);
            fault.errnum = errno != 0 ? errno : EIO;
        } else {
            fault = reader.finish();
            break;
        }
    }
    std::fclose(map);
    return fault;
}

}  // namespace datmend
