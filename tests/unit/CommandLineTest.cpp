#include <gtest/gtest.h>

#include "platform/CommandLine.h"

namespace ostrada {
namespace {

struct CommandLineCase {
    std::u16string_view commandLine;
    std::u16string_view argumentText;
};

TEST(ArgumentText, IsWhatFollowsTheProgramPath) {
    const CommandLineCase cases[] = {
        {u"ostrada.exe", u""},
        {u"ostrada.exe -st", u"-st"},
        {u"ostrada.exe    -st", u"-st"},
        {u"ostrada.exe\t-st", u"-st"},
        {u"ostrada.exe -st  ", u"-st  "},
        {u"ostrada.exe -st x", u"-st x"},
        {u"\"C:\\Program Files\\Ostrada\\ostrada.exe\" -st", u"-st"},
        {u"\"C:\\a b\\ostrada.exe\"-st", u"-st"},
        {u"\"C:\\a b\\ostrada.exe\"", u""},
        {u"\"unterminated -st", u""},
        {u"ostrada.exe \"-st\"", u"\"-st\""},
        {u"ostrada.exe \u05e9\u05dc\u05d5\u05dd", u"\u05e9\u05dc\u05d5\u05dd"},
        {u"", u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::ArgumentText(c.commandLine), c.argumentText)
            << std::string(c.commandLine.begin(), c.commandLine.end());
    }
}

}  // namespace
}  // namespace ostrada
