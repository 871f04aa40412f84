// Internal to the core: the interchangeable loops behind JoinLines, and the
// run-time choice among them. Tests, benchmarks and fuzzers use this header
// to drive each loop directly; the rest of the program uses JoinLines.h.
#pragma once

#include <cstddef>
#include <span>

#if defined(__x86_64__) || defined(__i386__)
#define OSTRADA_JOIN_HAVE_SSE2 1
#define OSTRADA_JOIN_HAVE_AVX2 1
#endif

namespace ostrada::core::kernels {

// A kernel joins src[0, length) into dst and returns the joined length.
// dst either equals src (joining in place) or does not overlap it at all;
// either way it has room for length code units. Past the returned length
// dst holds unspecified values.
using Kernel = std::size_t (*)(const char16_t* src, char16_t* dst, std::size_t length);

// One code unit at a time; runs on any CPU.
std::size_t JoinScalar(const char16_t* src, char16_t* dst, std::size_t length);

#if OSTRADA_JOIN_HAVE_SSE2
// Eight code units per step. Run only where the CPU has SSE2.
std::size_t JoinSse2(const char16_t* src, char16_t* dst, std::size_t length);
#endif

#if OSTRADA_JOIN_HAVE_AVX2
// Sixteen code units per step. Run only where the CPU and OS support AVX2.
std::size_t JoinAvx2(const char16_t* src, char16_t* dst, std::size_t length);
#endif

struct KernelInfo {
    const char* name;  // "scalar", "sse2", "avx2"
    Kernel join;
    bool supported;    // whether this machine can run it
};

// Every kernel built into this binary, plainest first.
std::span<const KernelInfo> AllKernels();

// The fastest kernel this machine supports, chosen on first use.
Kernel BestKernel();

}  // namespace ostrada::core::kernels
