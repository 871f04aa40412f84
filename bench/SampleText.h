// Generated sample text for the benchmarks: reproducible from a seed, the
// same for the native benchmark (char16_t) and the one under Wine (wchar_t).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrada::bench {

// splitmix64: small, fast and the same everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>((Next() >> 32) % n); }

private:
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t state_;
};

// A word of 1-9 letters, Latin or Hebrew, now and then followed by a comma
// or a full stop.
template <typename Char>
void AppendWord(std::basic_string<Char>& text, Random& random) {
    const bool hebrew = random.Below(2) == 0;
    const std::uint32_t letters = 1 + random.Below(9);
    for (std::uint32_t i = 0; i < letters; ++i) {
        text.push_back(hebrew ? static_cast<Char>(0x05D0 + random.Below(27))
                              : static_cast<Char>('a' + random.Below(26)));
    }
    if (random.Below(8) == 0) text.push_back(static_cast<Char>(random.Below(2) ? ',' : '.'));
}

// Words separated by blanks in lines of 40-80 code units, each line ended by
// `lineEnd` (which may be empty); exactly `units` code units, the last line
// cut short.
template <typename Char>
std::basic_string<Char> Prose(std::size_t units, const Char* lineEnd, Random& random) {
    std::basic_string<Char> text;
    text.reserve(units + 128);
    while (text.size() < units) {
        const std::size_t lineStart = text.size();
        const std::size_t lineLength = 40 + random.Below(41);
        while (text.size() - lineStart < lineLength) {
            if (text.size() != lineStart) text.push_back(static_cast<Char>(' '));
            AppendWord(text, random);
        }
        text += lineEnd;
    }
    text.resize(units);
    return text;
}

}  // namespace ostrada::bench
