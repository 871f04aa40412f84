// Throughput of line joining against memcpy of the same bytes.
//
// Texts: UTF-16, 64 KiB, 4 MiB and 64 MiB, of four kinds (prose with lines
// of 40-80 units in Latin and Hebrew, nothing but CR LF pairs, no line break
// at all, and text with many lone CRs). For each text the run measures
//   memcpy       copying the bytes into another buffer: the limit;
//   plain        a one-unit-at-a-time loop joining in place;
//   find+append  std::u16string::find for CR LF, appending the pieces to a
//                new string (replace() in place would be quadratic);
//   in-place     JoinLinesInPlace;
//   copying      JoinLines, which returns a new string;
//   join-into    JoinLines into a string that already has the room (the
//                form for callers that join text after text): the copying
//                form without its allocation;
//   str-copy     constructing a std::u16string copy of the text: allocation
//                plus memcpy, the floor for any function returning a copy.
// After the Google Benchmark output a table gives each as a throughput ratio
// to memcpy of the same text (1.00 = as fast as memcpy, higher is faster).
//
// Timing. Every benchmark times only the operation itself, with a steady
// clock around it (manual time), so the work needed between iterations is
// not counted:
//   - The in-place joins need their input back each iteration. It is copied
//     back outside the timed region. For the texts that fit in cache (64 KiB
//     and 4 MiB) the copy leaves the text cached, just as memcpy finds its
//     source and destination cached when it repeats on the same buffers. A
//     64 MiB memcpy works from memory, so for that size the input is put
//     back with streaming stores, which leave nothing in cache, and the join
//     starts from memory as well.
//   - The copying forms include allocating the result (for 64 MiB that is
//     fresh pages from the OS, faulted in as they are written) but not its
//     release, which happens after the clock stops. Where faulting in pages
//     is slow (as in some virtual machines) it swamps everything else; the
//     join-into and str-copy columns show how much of the time is the pass
//     and how much the allocation.
// Each benchmark also times a memcpy of the same bytes in every iteration,
// outside its own timing, and its ratio compares the fastest iteration of
// each: both see the same machine at the same moments, and on a shared
// machine the fastest iteration is the least disturbed.

#include "bench/SampleText.h"
#include "core/JoinLines.h"
#include "core/JoinLinesKernels.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::size_t KiB = 1024;
constexpr std::size_t MiB = 1024 * KiB;
constexpr std::size_t kStreamingRestoreFrom = 32 * MiB;

struct Size {
    const char* label;
    std::size_t bytes;
};
const Size kSizes[] = {{"64KiB", 64 * KiB}, {"4MiB", 4 * MiB}, {"64MiB", 64 * MiB}};
const char* const kKinds[] = {"prose", "crlf", "nobreak", "lonecr"};
const char* const kMethods[] = {"memcpy", "plain", "find+append", "in-place", "copying", "join-into", "str-copy"};

// ---- Texts --------------------------------------------------------------

using ostrada::bench::AppendWord;
using ostrada::bench::Prose;
using ostrada::bench::Random;

std::u16string MakeText(const std::string& kind, std::size_t units) {
    Random random(units * 31 + kind.size());
    if (kind == "prose") return Prose(units, u"\r\n", random);
    if (kind == "nobreak") return Prose(units, u" ", random);
    if (kind == "crlf") {
        std::u16string text;
        text.reserve(units);
        while (text.size() < units) text += u"\r\n";
        text.resize(units);
        return text;
    }
    // lonecr: every gap between words is a CR about half the time, and no
    // CR is followed by LF.
    std::u16string text;
    text.reserve(units + 16);
    while (text.size() < units) {
        AppendWord(text, random);
        text.push_back(random.Below(2) ? u'\r' : u' ');
    }
    text.resize(units);
    return text;
}

const std::u16string& Text(const std::string& kind, std::size_t bytes) {
    static std::map<std::pair<std::string, std::size_t>, std::unique_ptr<std::u16string>> texts;
    auto& slot = texts[{kind, bytes}];
    if (!slot) slot = std::make_unique<std::u16string>(MakeText(kind, bytes / sizeof(char16_t)));
    return *slot;
}

// ---- Contenders ---------------------------------------------------------

__attribute__((noinline)) std::size_t PlainJoin(char16_t* text, std::size_t length) {
    std::size_t out = 0;
    for (std::size_t in = 0; in < length; ++in) {
        if (text[in] == u'\r' && in + 1 < length && text[in + 1] == u'\n') {
            text[out++] = u' ';
            ++in;
        } else {
            text[out++] = text[in];
        }
    }
    return out;
}

std::u16string FindAndAppend(const std::u16string& text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(u"\r\n", from)) != std::u16string::npos; from = at + 2) {
        out.append(text, from, at - from);
        out.push_back(u' ');
    }
    out.append(text, from, std::u16string::npos);
    return out;
}

// Puts the input back for an in-place run; see the note at the top.
void Restore(char16_t* work, const std::u16string& input) {
    const std::size_t bytes = input.size() * sizeof(char16_t);
#if defined(__SSE2__)
    if (bytes >= kStreamingRestoreFrom && reinterpret_cast<std::uintptr_t>(work) % 16 == 0) {
        const auto* from = reinterpret_cast<const __m128i*>(input.data());
        auto* to = reinterpret_cast<__m128i*>(work);
        const std::size_t blocks = bytes / 16;
        for (std::size_t i = 0; i < blocks; ++i) _mm_stream_si128(to + i, _mm_loadu_si128(from + i));
        _mm_sfence();
        std::memcpy(reinterpret_cast<char*>(work) + blocks * 16,
                    reinterpret_cast<const char*>(input.data()) + blocks * 16, bytes - blocks * 16);
        return;
    }
#endif
    std::memcpy(work, input.data(), bytes);
}

using Clock = std::chrono::steady_clock;

void Run(benchmark::State& state, const std::string& kind, std::size_t bytes, const std::string& method) {
    const std::u16string& input = Text(kind, bytes);
    std::vector<char16_t> work(input.size());
    std::vector<char16_t> scratch(input.size());
    // The string join-into reuses, written once so that its pages are in,
    // as memcpy's destination is.
    std::u16string into = method == "join-into" ? input : std::u16string();
    double best = 1e30;
    double bestCopy = 1e30;

    const auto seconds = [](auto&& operation) {
        const Clock::time_point start = Clock::now();
        operation();
        const Clock::time_point end = Clock::now();
        return std::chrono::duration<double>(end - start).count();
    };
    const auto timeIt = [&](auto&& operation) {
        const double taken = seconds(operation);
        state.SetIterationTime(taken);
        best = std::min(best, taken);
    };

    for (auto _ : state) {
        if (method == "memcpy") {
            timeIt([&] { std::memcpy(work.data(), input.data(), bytes); });
            benchmark::DoNotOptimize(work.data());
            benchmark::ClobberMemory();
        } else if (method == "join-into") {
            timeIt([&] { ostrada::core::JoinLines(input, into); });
            benchmark::DoNotOptimize(into.data());
            benchmark::ClobberMemory();
        } else if (method == "plain" || method == "in-place") {
            Restore(work.data(), input);
            std::size_t length = 0;
            if (method == "plain") {
                timeIt([&] { length = PlainJoin(work.data(), work.size()); });
            } else {
                timeIt([&] { length = ostrada::core::JoinLinesInPlace(work.data(), work.size()); });
            }
            benchmark::DoNotOptimize(length);
            benchmark::ClobberMemory();
        } else {
            std::u16string result;
            if (method == "find+append") {
                timeIt([&] { result = FindAndAppend(input); });
            } else if (method == "copying") {
                timeIt([&] { result = ostrada::core::JoinLines(input); });
            } else {
                timeIt([&] { result = input; });
            }
            benchmark::DoNotOptimize(result.data());
        }
        // The reference for this benchmark's ratio: memcpy of the same bytes,
        // timed in the same iterations so that both see the same machine.
        bestCopy = std::min(bestCopy, seconds([&] { std::memcpy(scratch.data(), input.data(), bytes); }));
        benchmark::DoNotOptimize(scratch.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
    state.counters["best_us"] = best * 1e6;
    state.counters["vs_memcpy"] = bestCopy / best;
}

std::string Name(const char* kind, const Size& size, const char* method) {
    return std::string(kind) + "/" + size.label + "/" + method;
}

// ---- Ratio table --------------------------------------------------------

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const auto best = run.counters.find("best_us");
            const auto ratio = run.counters.find("vs_memcpy");
            if (best == run.counters.end() || ratio == run.counters.end()) continue;
            results_[run.run_name.function_name] = {best->second.value * 1e-6, ratio->second.value};
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintTable() const {
        std::printf("\nThroughput as a ratio to memcpy of the same bytes (1.00 = memcpy, higher is faster).\n"
                    "Each ratio compares the fastest iteration of the operation with the fastest memcpy\n"
                    "timed in the same iterations, the least disturbed by anything else on the machine.\n\n");
        std::printf("%-8s %-6s %12s", "text", "size", "memcpy GB/s");
        for (std::size_t m = 1; m < std::size(kMethods); ++m) std::printf(" %11s", kMethods[m]);
        std::printf("\n");
        for (const Size& size : kSizes) {
            for (const char* kind : kKinds) {
                const Result* copy = Find(kind, size, kMethods[0]);
                if (copy == nullptr) continue;
                std::printf("%-8s %-6s %12.2f", kind, size.label, size.bytes / copy->bestSeconds / 1e9);
                for (std::size_t m = 1; m < std::size(kMethods); ++m) {
                    if (const Result* result = Find(kind, size, kMethods[m])) {
                        std::printf(" %10.2fx", result->ratio);
                    } else {
                        std::printf(" %11s", "-");
                    }
                }
                std::printf("\n");
            }
        }
    }

private:
    struct Result {
        double bestSeconds;
        double ratio;
    };

    const Result* Find(const char* kind, const Size& size, const char* method) const {
        const auto found = results_.find(Name(kind, size, method));
        return found == results_.end() ? nullptr : &found->second;
    }

    std::map<std::string, Result> results_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Size& size : kSizes) {
        for (const char* kind : kKinds) {
            for (const char* method : kMethods) {
                auto* bench = benchmark::RegisterBenchmark(
                    Name(kind, size, method).c_str(), [kind = std::string(kind), bytes = size.bytes,
                                   method = std::string(method)](benchmark::State& state) {
                        Run(state, kind, bytes, method);
                    });
                bench->UseManualTime()->Unit(benchmark::kMicrosecond);
                // The 64 MiB runs take milliseconds each; a fixed few keeps
                // the whole run within minutes.
                if (size.bytes >= 64 * MiB) {
                    bench->Iterations(8);
                } else {
                    bench->MinTime(0.2);
                }
            }
        }
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable();
    benchmark::Shutdown();
    return 0;
}
