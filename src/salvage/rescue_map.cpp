// A mapfile is read line by line: comments (#) and blank lines are skipped, the first other line
// is the status line (position, status character, optional pass), and every line after it is a
// block (position, size, status character). Numbers are decimal, hexadecimal with 0x, or octal
// with a leading 0. The blocks must follow one another from position 0 with neither gap nor
// overlap and cover the whole file; past its end they may go on, if not rescued, as when the
// rescue could not read the original's last sectors and the copy stops short.
#include "salvage/rescue_map.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace datmend {

namespace {

// The words of a line, split at blanks and tabs.
std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t\r\n", at);
        if (at == std::string_view::npos) {
            return words;
        }
        const std::size_t end = std::min(line.find_first_of(" \t\r\n", at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end;
    }
}

// A number as ddrescue writes one, or why it is not one.
struct Number {
    std::uint64_t value = 0;
    const char* wrong = nullptr;
};

Number parse_number(std::string_view word) {
    if (!word.empty() && (word[0] == '-' || word[0] == '+')) {
        return {0, word[0] == '-' ? "negative number" : "not a number"};
    }
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    } else if (word.size() > 1 && word[0] == '0') {
        base = 8;
        word.remove_prefix(1);
    }
    if (word.empty()) {
        return {0, "not a number"};
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
            return {0, "not a number"};
        }
        // Positions and sizes are signed 64-bit in a mapfile.
        const std::uint64_t limit = std::numeric_limits<std::int64_t>::max();
        if (value >
            (limit - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) {
            return {0, "number too large"};
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return {value, nullptr};
}

bool is_status(std::string_view word, std::string_view allowed) {
    return word.size() == 1 && allowed.find(word[0]) != std::string_view::npos;
}

// Reads a map's lines in turn and keeps where its blocks have reached.
class MapReader {
  public:
    MapReader(DamagedFile& file, const std::string& old_name) : file_(file), old_name_(old_name) {}

    // Takes line number n; returns what is wrong with it, or "".
    std::string take(std::size_t n, std::string_view line) {
        const auto words = words_of(line);
        if (words.empty() || words[0][0] == '#') {
            return "";
        }
        return seen_status_ ? take_block(n, words) : take_status(n, words);
    }

    // Once every line has been taken: what is wrong with the map as a whole, or "".
    std::string finish() const {
        if (!seen_status_) {
            return "no status line";
        }
        return covered_ < file_.physical_eof() ? covers() : "";
    }

  private:
    std::string at_line(std::size_t n, const std::string& what) const {
        return "line " + std::to_string(n) + ": " + what;
    }

    std::string covers() const {
        return "covers " + std::to_string(covered_) + " bytes, " + old_name_ + " has " +
               std::to_string(file_.physical_eof());
    }

    std::string take_status(std::size_t n, const std::vector<std::string_view>& words) {
        if (words.size() < 2 || words.size() > 3) {
            return at_line(n, "not a status line");
        }
        for (std::size_t i = 0; i < words.size(); i += 2) {
            if (const Number number = parse_number(words[i]); number.wrong != nullptr) {
                return at_line(n, number.wrong);
            }
        }
        if (!is_status(words[1], "?*/-FG+")) {
            return at_line(n, "unknown status '" + std::string(words[1]) + "'");
        }
        seen_status_ = true;
        return "";
    }

    std::string take_block(std::size_t n, const std::vector<std::string_view>& words) {
        if (words.size() != 3) {
            return at_line(n, "not a block");
        }
        const Number pos = parse_number(words[0]);
        const Number size = parse_number(words[1]);
        for (const Number& number : {pos, size}) {
            if (number.wrong != nullptr) {
                return at_line(n, number.wrong);
            }
        }
        if (!is_status(words[2], "+?*/-")) {
            return at_line(n, "unknown status '" + std::string(words[2]) + "'");
        }
        if (size.value == 0) {
            return at_line(n, "empty block");
        }
        if (pos.value < covered_) {
            return at_line(n, "block overlaps or is out of order");
        }
        if (pos.value > covered_) {
            return covers();  // a gap: what lies there was never accounted for
        }
        const std::uint64_t end = pos.value + size.value;
        if (end > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return at_line(n, "number too large");
        }
        const std::uint64_t eof = file_.physical_eof();
        if (words[2][0] == '+') {
            if (end > eof) {
                covered_ = end;
                return covers();  // rescued bytes the file does not have
            }
        } else if (pos.value < eof) {
            file_.mark_unreadable_sectors(static_cast<std::uint32_t>(pos.value),
                                          static_cast<std::uint32_t>(std::min(end, eof)));
        }
        covered_ = end;
        return "";
    }

    DamagedFile& file_;
    const std::string& old_name_;
    bool seen_status_ = false;
    std::uint64_t covered_ = 0;  // the blocks so far cover 0 to here
};

}  // namespace

std::string apply_rescue_map(const std::string& path, DamagedFile& file,
                             const std::string& old_name) {
    std::FILE* map = std::fopen(path.c_str(), "re");
    if (map == nullptr) {
        return std::strerror(errno);
    }
    MapReader reader(file, old_name);
    std::string wrong;
    char* line = nullptr;
    std::size_t capacity = 0;
    std::size_t n = 0;
    errno = 0;
    for (ssize_t length; wrong.empty() && (length = getline(&line, &capacity, map)) >= 0;) {
        wrong = reader.take(++n, std::string_view(line, static_cast<std::size_t>(length)));
    }
    const int errnum = std::ferror(map) ? errno : 0;
    std::free(line);
    std::fclose(map);
    if (wrong.empty() && errnum != 0) {
        return std::strerror(errnum);
    }
    return wrong.empty() ? reader.finish() : wrong;
}

}  // namespace datmend
