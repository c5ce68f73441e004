// Signed decimals formatted by hand from a table of digit pairs: every offset, length and count
// in a report of a badly damaged file goes through here.
#include "io/text.hpp"

#include <bit>

namespace datmend {

char* format_decimal(char* p, std::int32_t value) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    static constexpr std::uint32_t kPowers[] = {1,      10,      100,      1000,      10000,
                                                100000, 1000000, 10000000, 100000000, 1000000000};
    // Below 100 (most lengths and counts in a report of small damage), straight from the table.
    if (value >= 0 && value < 100) {
        if (value < 10) {
            *p = static_cast<char>('0' + value);
            return p + 1;
        }
        std::memcpy(p, kPairs + 2 * value, 2);
        return p + 2;
    }
    std::uint32_t rest =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    // The count of digits: the bit width times log10(2) is right or one short, and one
    // comparison settles it. rest | 1 has as many digits as rest, and at least one.
    const std::uint32_t odd = rest | 1;
    const auto estimate = static_cast<std::uint32_t>(std::bit_width(odd) * 1233) >> 12;
    const std::size_t digits = estimate + (odd >= kPowers[estimate] ? 1 : 0);
    const std::size_t n = digits + (value < 0 ? 1 : 0);
    // Written in place, from the last digit back, four at a time while there are four.
    char* const end = p + n;
    p = end;
    while (rest >= 10000) {
        const std::uint32_t four = rest % 10000;
        rest /= 10000;
        p -= 4;
        std::memcpy(p, kPairs + 2 * (four / 100), 2);
        std::memcpy(p + 2, kPairs + 2 * (four % 100), 2);
    }
    if (rest >= 100) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * (rest % 100), 2);
        rest /= 100;
    }
    if (rest >= 10) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * rest, 2);
    } else {
        *--p = static_cast<char>('0' + rest);
    }
    if (value < 0) {
        *--p = '-';
    }
    return end;
}

}  // namespace datmend
