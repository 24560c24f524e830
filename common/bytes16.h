// Reading a NUL-terminated string 16 bytes at a time without ever touching a page the string
// does not: the scans of the host key and of the user-code rule are built on this.
#pragma once

#include <cstdint>

#include <emmintrin.h>

// The loads below may cover bytes before a string or after its NUL. That is safe (they never
// cross into another page) but lies outside the object as AddressSanitizer sees it.
#if defined(__SANITIZE_ADDRESS__)
#define TW_NO_ASAN __attribute__((no_sanitize_address, noinline))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TW_NO_ASAN __attribute__((no_sanitize_address, noinline))
#endif
#endif
#ifndef TW_NO_ASAN
#define TW_NO_ASAN
#endif

namespace tw {

// Up to 16 bytes from some position: bit i of a mask stands for the byte at position + i, and
// only the first `span` bits are meaningful (the others come out 0).
struct Bytes16 {
    __m128i bytes;
    unsigned shift;  // 0, or how far position lies into an aligned block read instead
    unsigned span() const { return 16 - shift; }
    // Where any of the given bytes are.
    template <typename... Chars>
    std::uint32_t where(Chars... wanted) const
    {
        __m128i hits = _mm_setzero_si128();
        ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(wanted)))), ...);
        return static_cast<std::uint32_t>(_mm_movemask_epi8(hits)) >> shift;
    }
};

// 16 bytes from p when that read stays within p's page; otherwise the aligned block holding p,
// which never crosses a page. Whatever lies past the string's NUL is never acted on, provided the
// caller stops at the first NUL.
TW_NO_ASAN inline Bytes16 load_bytes16(const char* p)
{
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    if ((address & 4095) <= 4096 - 16) {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 0};
    }
    const auto shift = static_cast<unsigned>(address & 15);
    return {_mm_load_si128(reinterpret_cast<const __m128i*>(address - shift)), shift};
}

inline unsigned lowest_bit(std::uint32_t mask) { return static_cast<unsigned>(__builtin_ctz(mask)); }
inline unsigned highest_bit(std::uint32_t mask) { return 31u - static_cast<unsigned>(__builtin_clz(mask)); }
// The bits below the lowest set bit of mask; all bits when there is none.
inline std::uint32_t below_lowest(std::uint32_t mask) { return mask != 0 ? (mask & (0u - mask)) - 1u : ~0u; }

}  // namespace tw
