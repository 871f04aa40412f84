#include "core/JoinLinesKernels.h"

#include <cstdint>

#if OSTRADA_JOIN_HAVE_SSE2
#include <cpuid.h>
#include <immintrin.h>
#endif

// How the vector kernels work
//
// Pairs are found a block at a time: the block compared with CR, ANDed with
// the block loaded one unit further on compared with LF. A unit cannot be
// both, so matches never overlap and every set lane starts a pair, whatever
// precedes the block.
//
// Joining then means: turn each pair's CR into a space and drop the LF after
// it. The kernels go through the text in groups of blocks with one forward
// pass, writing each group's result at the output position, which trails
// the input position by the number of pairs so far. Because every store is
// made after its group has been loaded and covers at most as many units as
// the group, no store reaches input still to be read; the same loop joins
// in place and into a separate buffer.
//
// Dropping lanes is the costly part. A group with at most one LF to drop,
// which in prose is every group, is put together without branching: lanes
// before the LF come from the group itself, and lanes from the LF on come
// from the copy loaded one unit further on. Groups with more pairs take
// a slower path (table shuffles with AVX2, one lane at a time with SSE2).
// Text without pairs is copied in larger steps once it has gone on for a
// while; in place, nothing is written before the first pair.

namespace ostrada::core::kernels {
namespace {

constexpr char16_t kCR = u'\r';
constexpr char16_t kLF = u'\n';
constexpr char16_t kSpace = u' ';

// Joins src[in, length) onto dst from out on, one unit at a time, and returns
// the final output length. Safe in place while out <= in.
inline std::size_t JoinRest(const char16_t* src, char16_t* dst, std::size_t in,
                            std::size_t out, std::size_t length) {
    while (in < length) {
        const char16_t unit = src[in];
        if (unit == kCR && in + 1 < length && src[in + 1] == kLF) {
            dst[out++] = kSpace;
            in += 2;
        } else {
            dst[out++] = unit;
            ++in;
        }
    }
    return out;
}

// Hides a value from the optimiser, which otherwise likes to branch on
// whether a mask is zero where the code is written to need no branch.
template <typename T>
inline T Opaque(T value) {
    __asm__("" : "+r"(value));
    return value;
}

inline unsigned LowestLane(unsigned mask) {
    // Vector compares set both bytes of a 16-bit lane; the masks keep only
    // the high byte's bit, so lane j shows up as bit 2j + 1.
    return static_cast<unsigned>(__builtin_ctz(mask)) >> 1;
}

}  // namespace

std::size_t JoinScalar(const char16_t* src, char16_t* dst, std::size_t length) {
    return JoinRest(src, dst, 0, 0, length);
}

#if OSTRADA_JOIN_HAVE_SSE2

// 32-bit Windows keeps the stack only 4-byte aligned, so the entry points
// realign it in case the compiler puts a vector there.
#if defined(__i386__)
#define OSTRADA_ENTRY_SSE2 __attribute__((target("sse2"), force_align_arg_pointer))
#define OSTRADA_ENTRY_AVX2 __attribute__((target("avx2"), force_align_arg_pointer))
#else
#define OSTRADA_ENTRY_SSE2 __attribute__((target("sse2")))
#define OSTRADA_ENTRY_AVX2 __attribute__((target("avx2")))
#endif
#define OSTRADA_INLINE_SSE2 __attribute__((target("sse2"), always_inline)) inline
#define OSTRADA_INLINE_AVX2 __attribute__((target("avx2"), always_inline)) inline

namespace {

// ---- SSE2: 8 units per block -------------------------------------------

OSTRADA_INLINE_SSE2 __m128i Load8(const char16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

OSTRADA_INLINE_SSE2 void Store8(char16_t* p, __m128i units) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), units);
}

// Lanes of the block at p that start a pair; reads p[0, 9).
OSTRADA_INLINE_SSE2 __m128i Pairs8(const char16_t* p) {
    return _mm_and_si128(_mm_cmpeq_epi16(Load8(p), _mm_set1_epi16(kCR)),
                         _mm_cmpeq_epi16(Load8(p + 1), _mm_set1_epi16(kLF)));
}

OSTRADA_INLINE_SSE2 unsigned Mask8(__m128i lanes) {
    return static_cast<unsigned>(_mm_movemask_epi8(lanes)) & 0xAAAAu;
}

// Takes the `keep` lanes from `kept`, the others from `moved`.
OSTRADA_INLINE_SSE2 __m128i Select8(__m128i keep, __m128i kept, __m128i moved) {
    return _mm_or_si128(_mm_and_si128(keep, kept), _mm_andnot_si128(keep, moved));
}

// Index of the first pair whose CR lies in [from, stop), or stop if there is
// none. stop must be below the text length, so the unit after any CR in
// range can be read.
OSTRADA_ENTRY_SSE2 std::size_t FindPairSse2(const char16_t* s, std::size_t from,
                                            std::size_t stop) {
    std::size_t i = from;
    while (i + 32 <= stop) {
        const __m128i any = _mm_or_si128(_mm_or_si128(Pairs8(s + i), Pairs8(s + i + 8)),
                                         _mm_or_si128(Pairs8(s + i + 16), Pairs8(s + i + 24)));
        if (_mm_movemask_epi8(any) != 0) break;
        i += 32;
    }
    for (; i + 8 <= stop; i += 8) {
        if (const unsigned mask = Mask8(Pairs8(s + i))) return i + LowestLane(mask);
    }
    for (; i < stop; ++i) {
        if (s[i] == kCR && s[i + 1] == kLF) return i;
    }
    return stop;
}

// ---- AVX2: 16 units per block ------------------------------------------
//
// Only unaligned loads and stores, and no vector lives across a call: the
// x86-64 Windows compilers cannot align the stack for 32-byte spills.

OSTRADA_INLINE_AVX2 __m256i Load16(const char16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

OSTRADA_INLINE_AVX2 void Store16(char16_t* p, __m256i units) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), units);
}

// Lanes of the block at p that start a pair; reads p[0, 17).
OSTRADA_INLINE_AVX2 __m256i Pairs16(const char16_t* p) {
    return _mm256_and_si256(_mm256_cmpeq_epi16(Load16(p), _mm256_set1_epi16(kCR)),
                            _mm256_cmpeq_epi16(Load16(p + 1), _mm256_set1_epi16(kLF)));
}

OSTRADA_INLINE_AVX2 unsigned Mask16(__m256i lanes) {
    return static_cast<unsigned>(_mm256_movemask_epi8(lanes)) & 0xAAAAAAAAu;
}

OSTRADA_ENTRY_AVX2 std::size_t FindPairAvx2(const char16_t* s, std::size_t from,
                                            std::size_t stop) {
    std::size_t i = from;
    while (i + 64 <= stop) {
        const __m256i any =
            _mm256_or_si256(_mm256_or_si256(Pairs16(s + i), Pairs16(s + i + 16)),
                            _mm256_or_si256(Pairs16(s + i + 32), Pairs16(s + i + 48)));
        if (!_mm256_testz_si256(any, any)) break;
        i += 64;
    }
    for (; i + 16 <= stop; i += 16) {
        if (const unsigned mask = Mask16(Pairs16(s + i))) return i + LowestLane(mask);
    }
    for (; i < stop; ++i) {
        if (s[i] == kCR && s[i + 1] == kLF) return i;
    }
    return stop;
}

}  // namespace

OSTRADA_ENTRY_SSE2 std::size_t JoinSse2(const char16_t* src, char16_t* dst, std::size_t length) {
    constexpr std::size_t kBlock = 8;
    if (length < 2) return JoinRest(src, dst, 0, 0, length);
    std::size_t in = 0;
    if (src == dst) {
        // Up to the first pair nothing changes.
        in = FindPairSse2(src, 0, length - 1);
        if (in == length - 1) return length;
    }
    std::size_t out = in;
    unsigned carry = 0;  // 1 when src[in] is the LF of a pair whose CR ended the last group
    unsigned quiet = 0;  // groups in a row without a pair

    const __m128i cr = _mm_set1_epi16(kCR);
    const __m128i lf = _mm_set1_epi16(kLF);
    const __m128i crToSpace = _mm_set1_epi16(kCR ^ kSpace);
    const __m128i laneIndex = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    const __m128i eight = _mm_set1_epi16(8);

    auto below = [&](int lane) __attribute__((target("sse2"), always_inline)) {
        return _mm_cmplt_epi16(laneIndex, _mm_set1_epi16(static_cast<short>(lane)));
    };

    // Drops the lanes set in `drop` from one block, one lane at a time, and
    // stores the rest. For blocks with more than one pair.
    auto squeezeBlock = [&](__m128i units, unsigned drop) __attribute__((target("sse2"), always_inline)) {
        std::size_t kept = kBlock;
        while (drop != 0) {
            const int lane = __builtin_ctz(drop) - static_cast<int>(kBlock - kept);
            units = Select8(below(lane), units, _mm_srli_si128(units, 2));
            --kept;
            drop &= drop - 1;
        }
        Store8(dst + out, units);
        out += kept;
    };

    // Joins the 16 units at src + in, the same way as the AVX2 kernel joins
    // 32 (see there).
    auto joinTwoBlocks = [&]() __attribute__((target("sse2"), always_inline)) {
        const __m128i u0 = Load8(src + in);
        const __m128i n0 = Load8(src + in + 1);
        const __m128i u1 = Load8(src + in + 8);
        const __m128i n1 = Load8(src + in + 9);
        const __m128i p0 = _mm_and_si128(_mm_cmpeq_epi16(u0, cr), _mm_cmpeq_epi16(n0, lf));
        const __m128i p1 = _mm_and_si128(_mm_cmpeq_epi16(u1, cr), _mm_cmpeq_epi16(n1, lf));
        const auto starts = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(p0, p1)));
        const unsigned drop = Opaque(((starts << 1) | carry) & 0xFFFFu);
        quiet = (quiet + 1) * static_cast<unsigned>((drop | starts) == 0);
        const __m128i s0 = _mm_xor_si128(u0, _mm_and_si128(p0, crToSpace));
        const __m128i s1 = _mm_xor_si128(u1, _mm_and_si128(p1, crToSpace));
        if ((drop & (drop - 1)) == 0 && (starts >> 15) == 0) {
            const int first = __builtin_ctz(drop | 0x10000u);
            const __m128i cut = _mm_set1_epi16(static_cast<short>(first));
            Store8(dst + out, Select8(_mm_cmpgt_epi16(cut, laneIndex), s0, n0));
            Store8(dst + out + 8, Select8(_mm_cmpgt_epi16(_mm_sub_epi16(cut, eight), laneIndex), s1, n1));
            out += 2 * kBlock - ((drop + 0xFFFFu) >> 16);
            carry = 0;
        } else {
            carry = starts >> 15;
            squeezeBlock(s0, drop & 0xFFu);
            squeezeBlock(s1, drop >> 8);
        }
        in += 2 * kBlock;
    };

    // The stores never reach input still to be read: out <= in, and a block
    // is stored only after it has been loaded. Long stretches without pairs
    // are copied as in the AVX2 kernel.
    while (in + 4 * kBlock + 1 <= length) {
        if (quiet >= 4) {
            while (in + 4 * kBlock + 1 <= length) {
                const __m128i any = _mm_or_si128(_mm_or_si128(Pairs8(src + in), Pairs8(src + in + 8)),
                                                 _mm_or_si128(Pairs8(src + in + 16), Pairs8(src + in + 24)));
                if (_mm_movemask_epi8(any) != 0) break;
                Store8(dst + out, Load8(src + in));
                Store8(dst + out + 8, Load8(src + in + 8));
                Store8(dst + out + 16, Load8(src + in + 16));
                Store8(dst + out + 24, Load8(src + in + 24));
                in += 4 * kBlock;
                out += 4 * kBlock;
            }
            quiet = 0;
            continue;
        }
        joinTwoBlocks();
        joinTwoBlocks();
    }
    while (in + 2 * kBlock + 1 <= length) joinTwoBlocks();
    return JoinRest(src, dst, in + carry, out, length);
}

namespace {

// For each set of lanes to drop from 8 (bit i = lane i), the byte shuffle
// that packs the remaining lanes to the front, and how many remain.
struct SqueezeTable {
    alignas(16) std::uint8_t shuffle[256][16];
    std::uint8_t kept[256];
};

constexpr SqueezeTable MakeSqueezeTable() {
    SqueezeTable table{};
    for (unsigned drop = 0; drop < 256; ++drop) {
        unsigned kept = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if (drop & (1u << lane)) continue;
            table.shuffle[drop][2 * kept] = static_cast<std::uint8_t>(2 * lane);
            table.shuffle[drop][2 * kept + 1] = static_cast<std::uint8_t>(2 * lane + 1);
            ++kept;
        }
        for (unsigned byte = 2 * kept; byte < 16; ++byte) table.shuffle[drop][byte] = 0x80;
        table.kept[drop] = static_cast<std::uint8_t>(kept);
    }
    return table;
}

constexpr SqueezeTable kSqueeze = MakeSqueezeTable();

}  // namespace

OSTRADA_ENTRY_AVX2 std::size_t JoinAvx2(const char16_t* src, char16_t* dst, std::size_t length) {
    constexpr std::size_t kBlock = 16;
    if (length < 2) return JoinRest(src, dst, 0, 0, length);
    std::size_t in = 0;
    if (src == dst) {
        in = FindPairAvx2(src, 0, length - 1);
        if (in == length - 1) return length;
    }
    std::size_t out = in;
    unsigned carry = 0;
    unsigned quiet = 0;  // groups of 32 units in a row without a pair

    const __m256i space = _mm256_set1_epi16(kSpace);

    // Squeezes the dropped lanes out of each 8-lane half of a block with a
    // table shuffle, whatever their number, and stores the halves in turn.
    auto squeeze = [&](__m256i units, unsigned dropLow, unsigned dropHigh)
                       __attribute__((target("avx2"), always_inline)) {
        const __m256i shuffle = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kSqueeze.shuffle[dropLow]))),
            _mm_load_si128(reinterpret_cast<const __m128i*>(kSqueeze.shuffle[dropHigh])), 1);
        const __m256i squeezed = _mm256_shuffle_epi8(units, shuffle);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + out), _mm256_castsi256_si128(squeezed));
        out += kSqueeze.kept[dropLow];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + out), _mm256_extracti128_si256(squeezed, 1));
        out += kSqueeze.kept[dropHigh];
    };
    auto spaced = [&](__m256i units, __m256i starts) __attribute__((target("avx2"), always_inline)) {
        return _mm256_blendv_epi8(units, space, starts);
    };

    const __m256i cr = _mm256_set1_epi16(kCR);
    const __m256i lf = _mm256_set1_epi16(kLF);
    const __m256i lanesLow = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m256i lanesHigh = _mm256_setr_epi16(16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);

    // Joins the 32 units at src + in.
    auto joinTwoBlocks = [&]() __attribute__((target("avx2"), always_inline)) {
        const __m256i u0 = Load16(src + in);
        const __m256i n0 = Load16(src + in + 1);
        const __m256i u1 = Load16(src + in + 16);
        const __m256i n1 = Load16(src + in + 17);
        const __m256i p0 = _mm256_and_si256(_mm256_cmpeq_epi16(u0, cr), _mm256_cmpeq_epi16(n0, lf));
        const __m256i p1 = _mm256_and_si256(_mm256_cmpeq_epi16(u1, cr), _mm256_cmpeq_epi16(n1, lf));
        // packs interleaves the 128-bit halves of its operands; the permute
        // puts the four 8-lane groups back in order: bit i = lane i.
        const auto starts = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_permute4x64_epi64(_mm256_packs_epi16(p0, p1), 0xD8)));
        // The LF lanes to drop: one after each start, plus lane 0 when the
        // previous group ended with a pair's CR.
        const std::uint32_t drop = (starts << 1) | carry;
        quiet = drop == 0 && starts == 0 ? quiet + 1 : 0;
        const __m256i s0 = spaced(u0, p0);
        const __m256i s1 = spaced(u1, p1);
        if ((drop & (drop - 1)) == 0 && (starts >> 31) == 0) {
            // At most one LF to drop (always so with lines of 32 units or
            // more): lanes before it stay, and from it on each lane takes
            // the unit after it, which is what n0, n1 hold.
            const int first = __builtin_ctzll(drop | (std::uint64_t{1} << 32));
            const __m256i cut = _mm256_set1_epi16(static_cast<short>(first));
            const __m256i keep0 = _mm256_cmpgt_epi16(cut, lanesLow);
            const __m256i keep1 = _mm256_cmpgt_epi16(cut, lanesHigh);
            Store16(dst + out, _mm256_blendv_epi8(n0, s0, keep0));
            Store16(dst + out + 16, _mm256_blendv_epi8(n1, s1, keep1));
            out += 2 * kBlock - (drop != 0);
            carry = 0;
        } else {
            carry = starts >> 31;
            squeeze(s0, drop & 0xFFu, (drop >> 8) & 0xFFu);
            squeeze(s1, (drop >> 16) & 0xFFu, drop >> 24);
        }
        in += 2 * kBlock;
    };

    // Four blocks at a time. Once several groups in a row had no pair, the
    // text is copied 64 units at a time until a pair turns up: lines in
    // prose are too short for that to happen there, so the branch that
    // decides it stays predictable.
    while (in + 4 * kBlock + 1 <= length) {
        if (quiet >= 4) {
            while (in + 4 * kBlock + 1 <= length) {
                const __m256i any = _mm256_or_si256(_mm256_or_si256(Pairs16(src + in), Pairs16(src + in + 16)),
                                                    _mm256_or_si256(Pairs16(src + in + 32), Pairs16(src + in + 48)));
                if (!_mm256_testz_si256(any, any)) break;
                Store16(dst + out, Load16(src + in));
                Store16(dst + out + 16, Load16(src + in + 16));
                Store16(dst + out + 32, Load16(src + in + 32));
                Store16(dst + out + 48, Load16(src + in + 48));
                in += 4 * kBlock;
                out += 4 * kBlock;
            }
            quiet = 0;
            continue;
        }
        joinTwoBlocks();
        joinTwoBlocks();
    }

    // The last few blocks one at a time.
    auto joinBlock = [&](__m256i units, __m256i starts) __attribute__((target("avx2"), always_inline)) {
        const unsigned packed = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi16(starts, starts)));
        const unsigned startBits = (packed & 0xFFu) | ((packed >> 8) & 0xFF00u);
        const unsigned drop = ((startBits << 1) | carry) & 0xFFFFu;
        carry = startBits >> 15;
        squeeze(spaced(units, starts), drop & 0xFFu, drop >> 8);
        in += kBlock;
    };
    while (in + kBlock + 1 <= length) joinBlock(Load16(src + in), Pairs16(src + in));
    return JoinRest(src, dst, in + carry, out, length);
}

#endif  // OSTRADA_JOIN_HAVE_SSE2

namespace {

// The processor's features, asked directly: the compiler's own feature
// check brings a table of every processor model along with it.
#if OSTRADA_JOIN_HAVE_SSE2
bool CpuHasSse2() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & bit_SSE2) != 0;
}
#endif

#if OSTRADA_JOIN_HAVE_AVX2
bool CpuHasAvx2() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    // AVX needs the system to save the 256-bit registers on a task switch.
    if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 0x6u) != 0x6u) return false;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX2) != 0;
}
#endif

}  // namespace

std::span<const KernelInfo> AllKernels() {
    static const KernelInfo kernels[] = {
        {"scalar", &JoinScalar, true},
#if OSTRADA_JOIN_HAVE_SSE2
        {"sse2", &JoinSse2, CpuHasSse2()},
#endif
#if OSTRADA_JOIN_HAVE_AVX2
        {"avx2", &JoinAvx2, CpuHasAvx2()},
#endif
    };
    return kernels;
}

Kernel BestKernel() {
    static const Kernel best = [] {
        Kernel choice = &JoinScalar;
        for (const KernelInfo& kernel : AllKernels()) {
            if (kernel.supported) choice = kernel.join;
        }
        return choice;
    }();
    return best;
}

}  // namespace ostrada::core::kernels
