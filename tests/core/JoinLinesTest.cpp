#include "core/JoinLines.h"
#include "core/JoinLinesKernels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace ostrada::core::kernels {
// Names the kernel in test output instead of dumping its bytes.
void PrintTo(const KernelInfo& kernel, std::ostream* os) { *os << kernel.name; }
}  // namespace ostrada::core::kernels

namespace {

using ostrada::core::JoinLines;
using ostrada::core::JoinLinesInPlace;
using ostrada::core::kernels::AllKernels;
using ostrada::core::kernels::KernelInfo;

constexpr char16_t CR = u'\r';
constexpr char16_t LF = u'\n';
constexpr char16_t SP = u' ';

// The rule written as plainly as possible, to compare the fast paths with.
std::u16string Reference(const std::u16string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == CR && i + 1 < text.size() && text[i + 1] == LF) {
            out.push_back(SP);
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::u16string AllControlUnits() {
    std::u16string s;
    for (char16_t c = 0; c < 0x20; ++c) s.push_back(c);
    s += u"\x7F\x85\x2028\x2029";
    return s;
}

struct Case {
    const char* name;
    std::u16string input;
    std::u16string expected;
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"empty", u"", u""},
        {"one break", u"a\r\nb", u"a b"},
        {"breaks are not collapsed", u"a\r\n\r\nb", u"a  b"},
        {"CR before a break stays", u"\r\r\n", u"\r "},
        {"LF after a break stays", u"\r\n\n", u" \n"},
        {"LF CR is no break", u"\n\r", u"\n\r"},
        {"CR after a break stays", u"\r\n\r", u" \r"},
        {"trailing break becomes a space", u"x\r\n", u"x "},
        {"only a break", u"\r\n", u" "},
        {"lone CR at the end", u"ab\r", u"ab\r"},
        {"lone CR", u"\r", u"\r"},
        {"lone LF", u"\n", u"\n"},
        {"blanks and tabs untouched", u"  a \t b  ", u"  a \t b  "},
        {"Hebrew", u"\x05E9\x05DC\x05D5\x05DD\r\n\x05E2\x05D5\x05DC\x05DD",
         u"\x05E9\x05DC\x05D5\x05DD \x05E2\x05D5\x05DC\x05DD"},
        {"surrogate pairs", u"\xD83D\xDE00\r\n\xD83D\xDE00", u"\xD83D\xDE00 \xD83D\xDE00"},
        {"lone surrogates", u"\xDFFF\r\n\xD800", u"\xDFFF \xD800"},
        // Units whose bytes hold 0x0D and 0x0A but are not CR or LF.
        {"CR and LF bytes in other units",
         u"\x0D0A\x0A0D\x0D00\x0A00\x000D\x0A00\x0D0D\x0A0A",
         u"\x0D0A\x0A0D\x0D00\x0A00\x000D\x0A00\x0D0D\x0A0A"},
        {"every control unit", AllControlUnits(), AllControlUnits()},
        {"control units around a break", u"\t\r\n\v\f\r\n\x85", u"\t \v\f \x85"},
    };
    return cases;
}

std::vector<KernelInfo> SupportedKernels() {
    std::vector<KernelInfo> kernels;
    for (const KernelInfo& k : AllKernels()) {
        if (k.supported) kernels.push_back(k);
    }
    return kernels;
}

// Runs a kernel on text placed `offset` units into a buffer, both in place
// and into a separate buffer. The units around the text are CR before it and
// LF after it, so that reading past either end would show up as a pair, and
// the test checks they are never written; the separate-buffer run must also
// leave its input alone.
void ExpectKernelJoins(const KernelInfo& kernel, const std::u16string& text,
                       const std::u16string& expected, std::size_t offset) {
    constexpr std::size_t kSlack = 40;
    const std::size_t n = text.size();
    const auto guarded = [&](const std::u16string& middle) {
        std::vector<char16_t> buffer(offset, CR);
        buffer.insert(buffer.end(), middle.begin(), middle.end());
        buffer.insert(buffer.end(), kSlack, LF);
        return buffer;
    };
    const auto expectGuardsIntact = [&](const std::vector<char16_t>& buffer, const char* what) {
        for (std::size_t i = 0; i < offset; ++i) ASSERT_EQ(buffer[i], CR) << what << ", before the text";
        for (std::size_t i = offset + n; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], LF) << what << ", after the text";
    };

    std::vector<char16_t> buffer = guarded(text);
    const std::size_t inPlaceLength = kernel.join(buffer.data() + offset, buffer.data() + offset, n);
    ASSERT_EQ(inPlaceLength, expected.size()) << "in place";
    EXPECT_EQ(std::u16string(buffer.data() + offset, inPlaceLength), expected) << "in place";
    expectGuardsIntact(buffer, "in place");

    const std::vector<char16_t> source = guarded(text);
    const std::vector<char16_t> sourceBefore = source;
    std::vector<char16_t> target = guarded(std::u16string(n, u'?'));
    const std::size_t copyLength = kernel.join(source.data() + offset, target.data() + offset, n);
    ASSERT_EQ(copyLength, expected.size()) << "separate buffer";
    EXPECT_EQ(std::u16string(target.data() + offset, copyLength), expected) << "separate buffer";
    expectGuardsIntact(target, "separate buffer");
    EXPECT_EQ(source, sourceBefore) << "separate buffer changed its input";
}

class JoinLinesKernel : public ::testing::TestWithParam<KernelInfo> {};

// Each case alone, then surrounded by plain text of every length up to a few
// blocks, so that it meets each vector path and every block boundary.
TEST_P(JoinLinesKernel, Cases) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        for (std::size_t before : {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40}) {
            for (std::size_t after = 0; after <= 40; ++after) {
                SCOPED_TRACE(testing::Message() << "padding " << before << "+" << after);
                const std::u16string head(before, u'x');
                const std::u16string tail(after, u'y');
                ExpectKernelJoins(GetParam(), head + c.input + tail, head + c.expected + tail, 0);
                if (HasFatalFailure()) return;
            }
        }
    }
}

// One pair, a lone CR or two pairs in a row at every position of a text,
// after a varying number of earlier pairs (joining in place changes strategy
// as the gap between reading and writing widens), from every start
// alignment within a 32-byte block.
TEST_P(JoinLinesKernel, BreaksAtEveryPositionAndAlignment) {
    const std::u16string inserts[] = {u"\r\n", u"\r", u"\r\n\r\n", u"\r\r\n\n"};
    for (std::size_t earlierPairs : {0, 1, 7, 8, 9, 15, 16, 17, 33, 40}) {
        std::u16string prefix;
        for (std::size_t i = 0; i < earlierPairs; ++i) prefix += u"\r\n";
        for (const std::u16string& insert : inserts) {
            for (std::size_t at = 0; at <= 72; ++at) {
                std::u16string text = prefix + std::u16string(at, u'a') + insert + std::u16string(72 - at, u'b');
                const std::u16string expected = Reference(text);
                for (std::size_t offset = 0; offset < 16; ++offset) {
                    SCOPED_TRACE(testing::Message() << "earlier " << earlierPairs << " at " << at
                                                    << " offset " << offset << " insert size " << insert.size());
                    ExpectKernelJoins(GetParam(), text, expected, offset);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

char16_t RandomUnit(std::mt19937& rng, double breakShare) {
    static const char16_t kOthers[] = {u'a', u' ', u'\t', 0x05D0, 0xD83D, 0xDE00, 0x0D0A, 0x0A0D, 0x0D00, 0x000A};
    std::uniform_real_distribution<double> share(0.0, 1.0);
    const double roll = share(rng);
    if (roll < breakShare * 0.6) return CR;
    if (roll < breakShare) return LF;
    return kOthers[rng() % std::size(kOthers)];
}

// Many generated texts, from rare to dense breaks and from a few units to
// long runs beyond the in-place move chunk, against the plain rule.
TEST_P(JoinLinesKernel, MatchesReferenceOnRandomTexts) {
    std::mt19937 rng(20240611);
    const double shares[] = {0.0, 0.0005, 0.02, 0.2, 0.6, 1.0};
    for (int round = 0; round < 3000; ++round) {
        const double share = shares[round % std::size(shares)];
        const std::size_t length = round % 50 == 0 ? 2000 + rng() % 40000 : rng() % 300;
        std::u16string text;
        for (std::size_t i = 0; i < length; ++i) text.push_back(RandomUnit(rng, share));
        const std::size_t offset = rng() % 16;
        SCOPED_TRACE(testing::Message() << "round " << round << " length " << length << " offset " << offset);
        ExpectKernelJoins(GetParam(), text, Reference(text), offset);
        if (HasFatalFailure()) return;
    }
}

// A few pairs far apart, so in-place joining moves runs longer than its
// move chunk before the gap opens.
TEST_P(JoinLinesKernel, SparsePairsAcrossLongRuns) {
    std::u16string text = u"\r\nab\r\n";
    text += std::u16string(20011, u'q') + u"\r\n" + std::u16string(30000, u'r') + u"\r" +
            std::u16string(9000, u's') + u"\r\n";
    for (std::size_t offset : {0, 3}) ExpectKernelJoins(GetParam(), text, Reference(text), offset);
}

INSTANTIATE_TEST_SUITE_P(, JoinLinesKernel, ::testing::ValuesIn(SupportedKernels()),
                         [](const ::testing::TestParamInfo<KernelInfo>& info) {
                             return std::string(info.param.name);
                         });

#if defined(__x86_64__)
// SSE2 is part of x86-64, so a build that did not pick it up would quietly
// leave the vector code untested.
TEST(JoinLines, Sse2KernelIsAvailableOnX86_64) {
    bool found = false;
    for (const KernelInfo& k : SupportedKernels()) found = found || std::string(k.name) == "sse2";
    EXPECT_TRUE(found);
}
#endif

TEST(JoinLines, PublicFormsFollowTheCases) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const std::u16string input = c.input;
        EXPECT_EQ(JoinLines(input), c.expected);
        EXPECT_EQ(input, c.input) << "the copying form changed its input";

        std::u16string text = c.input;
        JoinLinesInPlace(text);
        EXPECT_EQ(text, c.expected);

        std::u16string raw = c.input;
        EXPECT_EQ(JoinLinesInPlace(raw.data(), raw.size()), c.expected.size());
        EXPECT_EQ(raw.substr(0, c.expected.size()), c.expected);

        // Into a string that held something longer, shorter, or nothing.
        for (const std::size_t held : {std::size_t{0}, std::size_t{3}, c.input.size() + 40}) {
            std::u16string into(held, u'#');
            JoinLines(input, into);
            EXPECT_EQ(into, c.expected) << "into a string of " << held;
        }
    }
}

// Joining a string into itself, whole or from a part of it, reads the text
// before any of it is overwritten.
TEST(JoinLines, IntoTheStringItViews) {
    std::u16string text = u"ab\r\ncd\r\nef\r\r\n";
    text.reserve(200);
    JoinLines(text, text);
    EXPECT_EQ(text, u"ab cd ef\r ");

    std::u16string tail = u"xx\r\nyy\r\nzz";
    JoinLines(std::u16string_view(tail).substr(4), tail);
    EXPECT_EQ(tail, u"yy zz");
}

// The public forms on longer generated texts: same result as the rule, the
// length drops by exactly the number of pairs, and joining again changes
// nothing (a joined text never holds CR LF).
TEST(JoinLines, PublicFormsMatchReferenceAndAreIdempotent) {
    std::mt19937 rng(77);
    for (int round = 0; round < 400; ++round) {
        const std::size_t length = rng() % (round % 4 == 0 ? 70000 : 600);
        std::u16string text;
        for (std::size_t i = 0; i < length; ++i) text.push_back(RandomUnit(rng, 0.1 * (round % 11)));
        std::size_t pairs = 0;
        for (std::size_t i = 0; i + 1 < length; ++i) pairs += text[i] == CR && text[i + 1] == LF;
        SCOPED_TRACE(testing::Message() << "round " << round);

        const std::u16string copy = text;
        const std::u16string joined = JoinLines(text);
        ASSERT_EQ(text, copy);
        ASSERT_EQ(joined, Reference(text));
        ASSERT_EQ(joined.size(), length - pairs);
        ASSERT_EQ(JoinLines(joined), joined);

        std::u16string inPlace = text;
        JoinLinesInPlace(inPlace);
        ASSERT_EQ(inPlace, joined);

        std::u16string into = u"held before";
        JoinLines(text, into);
        ASSERT_EQ(into, joined);
    }
}

}  // namespace
