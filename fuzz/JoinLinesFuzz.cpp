// Feeds arbitrary input to every line-joining kernel this machine runs, in
// place and into a separate buffer, and to the public functions, and checks
// each against a plain loop, unit for unit.
//
// Input: the first byte picks how the rest becomes text and where it starts.
//   bit 0 clear: the rest is UTF-16LE, two bytes per unit (an odd last byte
//                is ignored);
//   bit 0 set:   each byte picks a unit from a small alphabet full of CR and
//                LF, and how often to repeat it, so that dense and tricky
//                breaks are common and long runs easy to reach;
//   bits 1-4:    how many units into its buffer the text starts (0-15), so
//                that every alignment against the vector blocks is reached.
// Buffers are allocated to the exact size, so reading or writing past the
// end of the text is caught by AddressSanitizer.

#include "core/JoinLines.h"
#include "core/JoinLinesKernels.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using ostrada::core::kernels::AllKernels;
using ostrada::core::kernels::KernelInfo;

std::u16string Reference(const std::u16string& text, std::size_t& pairs) {
    std::u16string out;
    pairs = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            out.push_back(u' ');
            ++i;
            ++pairs;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

void Require(bool condition) {
    if (!condition) std::abort();
}

void Check(const KernelInfo& kernel, const std::u16string& text, std::size_t offset,
           const std::u16string& expected) {
    const std::size_t n = text.size();

    // In place.
    std::unique_ptr<char16_t[]> buffer(new char16_t[offset + n]);
    for (std::size_t i = 0; i < offset; ++i) buffer[i] = u'\r';
    std::memcpy(buffer.get() + offset, text.data(), n * sizeof(char16_t));
    const std::size_t inPlace = kernel.join(buffer.get() + offset, buffer.get() + offset, n);
    Require(inPlace == expected.size());
    Require(std::memcmp(buffer.get() + offset, expected.data(), inPlace * sizeof(char16_t)) == 0);
    for (std::size_t i = 0; i < offset; ++i) Require(buffer[i] == u'\r');

    // Into a separate buffer; the input must stay as it was.
    std::unique_ptr<char16_t[]> source(new char16_t[offset + n]);
    std::memcpy(source.get() + offset, text.data(), n * sizeof(char16_t));
    std::unique_ptr<char16_t[]> target(new char16_t[n]);
    const std::size_t copied = kernel.join(source.get() + offset, target.get(), n);
    Require(copied == expected.size());
    Require(std::memcmp(target.get(), expected.data(), copied * sizeof(char16_t)) == 0);
    Require(std::memcmp(source.get() + offset, text.data(), n * sizeof(char16_t)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const std::size_t offset = (control >> 1) & 0x0F;
    ++data;
    --size;

    std::u16string text;
    if (control & 1) {
        static const char16_t kAlphabet[16] = {u'\r', u'\n', u'\r', u'\n', u'\r', u'\n', u' ', u'a',
                                               u'\t', 0x05D0, 0xD83D, 0xDE00, 0x0D0A, 0x0A0D, 0x000D, 0x2028};
        for (std::size_t i = 0; i < size; ++i) {
            // The high half of the byte repeats the unit 1 to 128 times, so
            // long runs are cheap to reach.
            text.append(std::size_t{1} << (data[i] >> 5), kAlphabet[data[i] & 0x0F]);
        }
    } else {
        for (std::size_t i = 0; i + 1 < size; i += 2) {
            text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
        }
    }

    std::size_t pairs = 0;
    const std::u16string expected = Reference(text, pairs);
    Require(expected.size() == text.size() - pairs);

    for (const KernelInfo& kernel : AllKernels()) {
        if (kernel.supported) Check(kernel, text, offset, expected);
    }

    const std::u16string copy = text;
    Require(ostrada::core::JoinLines(text) == expected);
    Require(text == copy);
    std::u16string inPlace = text;
    ostrada::core::JoinLinesInPlace(inPlace);
    Require(inPlace == expected);
    // Into a string that already holds something, of the input's length
    // shifted by the offset byte, so that both reuse and growth are seen.
    std::u16string into(text.size() / 2 + offset, u'#');
    ostrada::core::JoinLines(text, into);
    Require(into == expected);
    return 0;
}
