// The scan's sift: which of sixteen candidates have a known type and a length other than 0, the
// cheapest of the rules, tested before the rest; or, for the repair's search for frames of any
// type, a length other than 0 alone. Two paths give the same bits: SSE2 on x86-64,
// where it is always there, and plain 64-bit arithmetic anywhere else.
#pragma once

#include <cstdint>

#include "format/layout.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace datmend {

// A known type as one mask over a byte: a type passes when none of these bits is set.
static_assert(kHighestKnownType == 3);
constexpr std::uint8_t kAboveKnownType = 0xFC;

namespace sift_detail {

// Byte k of p as bits 8k to 8k + 7, whatever the processor's byte order.
inline std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int k = 7; k >= 0; --k) {
        v = v << 8 | p[k];
    }
    return v;
}

// Bit 7 of each byte of x that is zero; nothing elsewhere. Exact: no carry crosses bytes.
inline std::uint64_t zero_bytes(std::uint64_t x) {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    return ~(((x & low7) + low7) | x | low7);
}

// The eight candidates at p; bit k for the candidate p + k. Reads p[0] to p[10]. With
// kAnyType, every type passes.
template <bool kAnyType = false>
inline std::uint32_t sift8(const std::uint8_t* p) {
    constexpr std::uint64_t above = kAnyType ? 0 : 0x0101010101010101ull * kAboveKnownType;
    const std::uint64_t known_type = zero_bytes(load_le64(p) & above);
    const std::uint64_t empty = zero_bytes(load_le64(p + 2) | load_le64(p + 3));
    const std::uint64_t lanes = (known_type & ~empty) >> 7;  // 0 or 1 in each byte
    // Gathers the low bit of byte k into bit 56 + k; no other product reaches bits 56 to 63.
    return static_cast<std::uint32_t>((lanes * 0x0102040810204080ull) >> 56);
}

}  // namespace sift_detail

// Bit k set when the candidate at p + k has a known type (any type with kAnyType) and a length
// other than 0, for k from 0 to 15. Reads p[0] to p[18].
template <bool kAnyType = false>
inline std::uint32_t sift16_portable(const std::uint8_t* p) {
    return sift_detail::sift8<kAnyType>(p) | sift_detail::sift8<kAnyType>(p + 8) << 8;
}

template <bool kAnyType = false>
inline std::uint32_t sift16(const std::uint8_t* p) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3));
    const __m128i empty = _mm_cmpeq_epi8(_mm_or_si128(low, high), zero);
    if constexpr (kAnyType) {
        return static_cast<std::uint32_t>(_mm_movemask_epi8(empty)) ^ 0xFFFFu;
    }
    const __m128i type = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i above = _mm_set1_epi8(static_cast<char>(kAboveKnownType));
    const __m128i known_type = _mm_cmpeq_epi8(_mm_and_si128(type, above), zero);
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_andnot_si128(empty, known_type)));
#else
    return sift16_portable<kAnyType>(p);
#endif
}

}  // namespace datmend
