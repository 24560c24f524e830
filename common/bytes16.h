// The one place that knows the instruction set. The byte scans (host key, user-code rule, skip
// table) speak only of "16 bytes" and "where are any of these bytes": this header supplies that
// for SSE2 (x86-64), NEON (aarch64) and plain C++ (any other target, or TW_PORTABLE_BYTES).
#pragma once

#include <bit>
#include <cstdint>

#if !defined(TW_PORTABLE_BYTES) && defined(__SSE2__)
#define TW_BYTES_SSE2 1
#include <emmintrin.h>
#elif !defined(TW_PORTABLE_BYTES) && defined(__aarch64__) && defined(__ARM_NEON)
#define TW_BYTES_NEON 1
#include <arm_neon.h>
#else
#define TW_BYTES_PORTABLE 1
#endif

// The page-safe loads may cover bytes before a string or after its NUL. That is safe (they never
// leave the string's page) but lies outside the object as AddressSanitizer sees it.
#if defined(__SANITIZE_ADDRESS__)
#define TW_NO_ASAN __attribute__((no_sanitize_address, noinline))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TW_NO_ASAN __attribute__((no_sanitize_address, noinline))
#endif
#endif
#ifndef TW_NO_ASAN
#define TW_NO_ASAN
// The hot path's scans are inlined into their caller, which saves a call and the saving of its
// registers, except under AddressSanitizer, which must not instrument them (above).
#define TW_HOT_SCAN __attribute__((always_inline))
#else
#define TW_HOT_SCAN TW_NO_ASAN
#endif

namespace tw {

// Name of the compiled backend, for test reports.
#if defined(TW_BYTES_SSE2)
inline constexpr const char* kBytesBackend = "sse2";
#elif defined(TW_BYTES_NEON)
inline constexpr const char* kBytesBackend = "neon";
#else
inline constexpr const char* kBytesBackend = "portable";
#endif

// Page-safe reads assume 4096-byte pages. Kernels with 16 KiB or 64 KiB pages (common on
// aarch64) are covered too: their pages are multiples of 4096 and aligned to them, so a read that
// stays inside a 4096-byte block stays inside a page.
inline constexpr std::uintptr_t kPageSize = 4096;

inline bool within_page(const void* p, std::uintptr_t size)
{
    return (reinterpret_cast<std::uintptr_t>(p) & (kPageSize - 1)) <= kPageSize - size;
}

// Positions within 16 bytes. NEON has no movemask: its narrowing shift gives four bits a byte,
// of which one is kept, so the word is wider there; the byte index is the bit index / kStride.
struct ByteMask {
#if defined(TW_BYTES_NEON)
    using Word = std::uint64_t;
    static constexpr unsigned kStride = 4;
#else
    using Word = std::uint32_t;
    static constexpr unsigned kStride = 1;
#endif
    Word bits;
    // Every position's bit, as a mask of sixteen positions has them.
    static constexpr Word kAllPositions = static_cast<Word>(kStride == 1 ? 0xFFFFu : 0x1111111111111111u);

    explicit operator bool() const { return bits != 0; }
    ByteMask operator&(ByteMask other) const { return {static_cast<Word>(bits & other.bits)}; }
    unsigned lowest() const { return static_cast<unsigned>(std::countr_zero(bits)) / kStride; }
    unsigned highest() const
    {
        return static_cast<unsigned>(std::bit_width(bits) - 1) / kStride;
    }
    ByteMask without_lowest() const { return {static_cast<Word>(bits & (bits - 1))}; }
    // The positions as a plain number, bit i for position i.
    std::uint32_t positions() const
    {
        if constexpr (kStride == 1) {
            return bits;
        } else {
            std::uint32_t plain = 0;
            for (Word rest = bits; rest != 0; rest &= rest - 1) {
                plain |= std::uint32_t{1} << (static_cast<unsigned>(std::countr_zero(rest)) / kStride);
            }
            return plain;
        }
    }
    // The highest position, taken out of the mask (which must not be empty).
    unsigned pop_highest()
    {
        const auto bit = static_cast<unsigned>(std::bit_width(bits) - 1);
        bits = static_cast<Word>(bits ^ (Word{1} << bit));
        return bit / kStride;
    }
    // The positions below count (at most 16).
    static ByteMask below(unsigned count)
    {
        return {count >= 16 ? static_cast<Word>(kAllPositions) : static_cast<Word>((Word{1} << (count * kStride)) - 1)};
    }
    // The positions below the lowest one; all positions when there is none.
    ByteMask below_lowest() const
    {
        return {static_cast<Word>((bits - 1) & ~bits)};
    }
};

// The loads may read outside the string's bounds (see load_bytes16), so none is instrumented.
namespace backend {

#if defined(TW_BYTES_SSE2)
using Vector = __m128i;
TW_NO_ASAN inline Vector load_unaligned(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
TW_NO_ASAN inline Vector load_aligned(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
template <typename... Bytes>
ByteMask::Word equal_any(Vector bytes, Bytes... wanted)
{
    __m128i hits = _mm_setzero_si128();
    ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(wanted))))), ...);
    return static_cast<ByteMask::Word>(_mm_movemask_epi8(hits));
}
// Whether each byte lies in [low, low + span), span below 128: adding 0x80 - low moves that range
// to the lowest signed bytes, where one signed comparison finds it.
inline __m128i in_range(Vector bytes, int low, int span)
{
    const __m128i moved = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - low)));
    return _mm_cmplt_epi8(moved, _mm_set1_epi8(static_cast<char>(-0x80 + span)));
}
// Bytes that are not an ASCII letter, digit, '.' or '-'.
inline ByteMask::Word outside_name(Vector bytes)
{
    const __m128i letters = in_range(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), 'a', 26);
    const __m128i digits = in_range(bytes, '0', 10);
    const __m128i dot_or_dash = in_range(bytes, '-', 2);
    return static_cast<ByteMask::Word>(~_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letters, digits), dot_or_dash)) & 0xFFFF);
}
#elif defined(TW_BYTES_NEON)
using Vector = uint8x16_t;
TW_NO_ASAN inline Vector load_unaligned(const void* p) { return vld1q_u8(static_cast<const std::uint8_t*>(p)); }
TW_NO_ASAN inline Vector load_aligned(const void* p) { return vld1q_u8(static_cast<const std::uint8_t*>(p)); }
// Each byte of hits is 0x00 or 0xFF; shifting every 16-bit lane right by 4 and narrowing keeps
// a nibble of each byte.
inline ByteMask::Word movemask(uint8x16_t hits)
{
    const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(hits), 4);
    return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0) & 0x1111111111111111u;
}
template <typename... Bytes>
ByteMask::Word equal_any(Vector bytes, Bytes... wanted)
{
    uint8x16_t hits = vdupq_n_u8(0);
    ((hits = vorrq_u8(hits, vceqq_u8(bytes, vdupq_n_u8(static_cast<std::uint8_t>(wanted))))), ...);
    return movemask(hits);
}
// Whether each byte lies in [low, low + span).
inline uint8x16_t in_range(Vector bytes, std::uint8_t low, std::uint8_t span)
{
    return vcltq_u8(vsubq_u8(bytes, vdupq_n_u8(low)), vdupq_n_u8(span));
}
// Bytes that are not an ASCII letter, digit, '.' or '-'.
inline ByteMask::Word outside_name(Vector bytes)
{
    const uint8x16_t letters = in_range(vorrq_u8(bytes, vdupq_n_u8(0x20)), 'a', 26);
    const uint8x16_t digits = in_range(bytes, '0', 10);
    const uint8x16_t dot_or_dash = in_range(bytes, '-', 2);
    return movemask(vmvnq_u8(vorrq_u8(vorrq_u8(letters, digits), dot_or_dash)));
}
#else
struct Vector {
    std::uint8_t bytes[16];
};
TW_NO_ASAN inline Vector load_unaligned(const void* p)
{
    Vector v;
    for (unsigned i = 0; i < 16; ++i) {
        v.bytes[i] = static_cast<const std::uint8_t*>(p)[i];
    }
    return v;
}
inline Vector load_aligned(const void* p) { return load_unaligned(p); }
template <typename... Bytes>
ByteMask::Word equal_any(const Vector& v, Bytes... wanted)
{
    ByteMask::Word mask = 0;
    for (unsigned i = 0; i < 16; ++i) {
        if (((v.bytes[i] == static_cast<std::uint8_t>(wanted)) || ...)) {
            mask |= ByteMask::Word{1} << i;
        }
    }
    return mask;
}
inline ByteMask::Word outside_name(const Vector& v)
{
    ByteMask::Word mask = 0;
    for (unsigned i = 0; i < 16; ++i) {
        const std::uint8_t c = v.bytes[i];
        const auto letter = static_cast<std::uint8_t>(c | 0x20);
        if (!((letter >= 'a' && letter <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-')) {
            mask |= ByteMask::Word{1} << i;
        }
    }
    return mask;
}
#endif

}  // namespace backend

// Up to 16 bytes from some position: position i of a mask stands for the byte at position + i,
// and only the first span() positions are meaningful (the others come out clear).
struct Bytes16 {
    backend::Vector bytes;
    unsigned shift;  // 0, or how far position lies into an aligned block read instead
    unsigned span() const { return 16 - shift; }
    // Where any of the given bytes are.
    template <typename... Bytes>
    ByteMask where(Bytes... wanted) const
    {
        return {static_cast<ByteMask::Word>(backend::equal_any(bytes, wanted...) >> (shift * ByteMask::kStride))};
    }
    // Where the bytes are that are not an ASCII letter, digit, '.' or '-': in a host name, the
    // bytes that need a second look.
    ByteMask where_outside_name() const
    {
        return {static_cast<ByteMask::Word>(backend::outside_name(bytes) >> (shift * ByteMask::kStride))};
    }
};

// 16 bytes from p when that read stays within p's page; otherwise the aligned block holding p,
// which never crosses a page. Whatever lies past the string's NUL is never acted on, provided the
// caller stops at the first NUL.
TW_NO_ASAN inline Bytes16 load_bytes16(const char* p)
{
    if (within_page(p, 16)) {
        return {backend::load_unaligned(p), 0};
    }
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    const auto shift = static_cast<unsigned>(address & 15);
    return {backend::load_aligned(reinterpret_cast<const void*>(address - shift)), shift};
}

// 16 bytes that are all readable, such as a group of a table.
inline Bytes16 load_group16(const std::uint8_t* p) { return {backend::load_unaligned(p), 0}; }

// The first eight bytes at p, as a word of native byte order, when they lie within p's page
// (whatever follows a shorter string's NUL is then included); false otherwise.
TW_NO_ASAN inline bool load8_within_page(const char* p, std::uint64_t* out)
{
    if (!within_page(p, 8)) {
        return false;
    }
    // A plain load, not memcpy: a library memcpy would be checked against the string's bounds.
    typedef std::uint64_t Unaligned64 __attribute__((may_alias, aligned(1)));
    *out = *reinterpret_cast<const Unaligned64*>(p);
    return true;
}

}  // namespace tw
