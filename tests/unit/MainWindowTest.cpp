#include <gtest/gtest.h>

#include <algorithm>

#include "FakePlatform.h"
#include "app/mdlModes.h"
#include "ui/frmMain.h"

namespace ostrada {
namespace {

using testing::FakeApplication;
using testing::FakeButton;
using testing::FakeForm;
using testing::FakeLabel;
using testing::FakePictureBox;
using testing::FakeTextBox;

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        app::productIdentity = {};
        form = &dynamic_cast<FakeForm&>(ui::frmMain::Create(app));
    }
    FakeTextBox& Text() { return form->Get<FakeTextBox>("txtResults"); }
    void Click(const std::string& button) { form->Get<FakeButton>(button).onClick(); }

    FakeApplication app;
    FakeForm* form = nullptr;
};

TEST_F(MainWindow, IsBuiltFromItsDesign) {
    EXPECT_EQ(app.formDesign.clientWidth, 7125);
    EXPECT_EQ(app.formDesign.clientHeight, 7110);
    EXPECT_TRUE(app.formDesign.fixedDialogFrame);
    EXPECT_FALSE(app.formDesign.minButton);
    EXPECT_FALSE(app.formDesign.maxButton);
    EXPECT_FALSE(app.formDesign.showInTaskbar);
    EXPECT_EQ(app.formDesign.font.face, u"Tahoma");
    EXPECT_EQ(app.formDesign.font.charset, 177);

    const std::vector<std::string> tabOrder{"picTitle", "lblTitle", "txtResults", "cmdGo", "cmdExit"};
    EXPECT_EQ(form->tabOrder, tabOrder);
    const std::map<std::string, std::array<int, 4>> rects{{"picTitle", {240, 240, 6645, 375}},
                                                          {"lblTitle", {120, 0, 5835, 240}},
                                                          {"txtResults", {240, 840, 6615, 5535}},
                                                          {"cmdGo", {240, 6480, 1695, 495}},
                                                          {"cmdExit", {5160, 6480, 1695, 495}}};
    for (const auto& [name, r] : rects) {
        const platform::Twips& t = form->rects.at(name);
        EXPECT_EQ((std::array<int, 4>{t.left, t.top, t.width, t.height}), r) << name;
    }
    EXPECT_EQ(form->captions.at("cmdGo"), u"Go");
    EXPECT_EQ(form->captions.at("cmdExit"), u"Exit");
}

TEST_F(MainWindow, LoadInstallsIconsThenShowsTheIdentityOnAGreenStrip) {
    const auto at = [&](const std::string& entry) {
        return std::find(app.log.begin(), app.log.end(), entry) - app.log.begin();
    };
    EXPECT_LT(at("Resolve(user32!GetWindow)"), at("SetTitle(Ostrada 1.0)"));
    EXPECT_LT(at("SetTitle(Ostrada 1.0)"), at("frmMain.SetCaption(Ostrada)"));
    EXPECT_LT(at("frmMain.SetCaption(Ostrada)"), at("lblTitle.SetCaption(Ostrada)"));
    EXPECT_LT(at("lblTitle.SetCaption(Ostrada)"), at("picTitle.SetBackColour(4227072)"));

    EXPECT_EQ(form->caption, u"Ostrada");
    EXPECT_EQ(form->Get<FakeLabel>("lblTitle").caption, u"Ostrada");
    EXPECT_EQ(form->Get<FakePictureBox>("picTitle").backColour, 0x00408000u);
    EXPECT_EQ(Text().text, u"");
}

struct GoCase {
    const char* name;
    std::u16string before;
    std::u16string after;
};

// Shown by its name: printed byte by byte, the case would show the unused
// parts of its strings, which are never written.
void PrintTo(const GoCase& c, std::ostream* os) { *os << c.name; }

class Go : public MainWindow, public ::testing::WithParamInterface<GoCase> {};

TEST_P(Go, JoinsTheWholeText) {
    Text().text = GetParam().before;
    Click("cmdGo");
    EXPECT_EQ(Text().text, GetParam().after);

    Click("cmdGo");
    EXPECT_EQ(Text().text, GetParam().after) << "a second Go changes nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Go,
    ::testing::Values(GoCase{"Empty", u"", u""},
                      GoCase{"SeveralLines", u"one\r\ntwo\r\nthree\r\n", u"one two three "},
                      GoCase{"LoneBreaksStay", u"a\rb\nc", u"a\rb\nc"},
                      GoCase{"Hebrew", u"\u05e9\u05dc\u05d5\u05dd\r\n\u05e2\u05d5\u05dc\u05dd", u"\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd"},
                      GoCase{"SurrogatePairs", u"\U0001F600\r\n\U00010348", u"\U0001F600 \U00010348"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindow, GoReadsOnceAndWritesOnce) {
    Text().text = u"a\r\nb";
    app.log.clear();
    Click("cmdGo");
    EXPECT_EQ(app.log, (testing::Log{"txtResults.Text", "txtResults.SetText"}));
}

TEST_F(MainWindow, ExitUnloadsTheWindow) {
    Click("cmdExit");
    EXPECT_FALSE(form->loaded);
}

struct ColourCase {
    std::u16string text;
    platform::Colour colour;
};

TEST(TitleColour, IsTheDecimalTextAsASigned32BitValue) {
    const ColourCase cases[] = {{u"4227072", 0x00408000u}, {u"0", 0u}, {u"-1", 0xFFFFFFFFu},
                                {u"2147483647", 0x7FFFFFFFu}, {u"-2147483648", 0x80000000u}};
    for (const auto& c : cases) EXPECT_EQ(ui::frmMain::ColourFromText(c.text), c.colour);

    for (const std::u16string bad : {u"", u"-", u"12a", u"2147483648", u"99999999999999999999"}) {
        EXPECT_THROW(ui::frmMain::ColourFromText(bad), platform::Error) << testing::Narrow(bad);
    }
}

}  // namespace
}  // namespace ostrada

namespace ostrada {
namespace {

// Without the memory to read or write the text, Go leaves the box as it
// was and tells the user, instead of ending the program with the text.
TEST_F(MainWindow, GoWithoutMemoryKeepsTheTextAndSaysSo) {
    for (const bool failRead : {true, false}) {
        app.messages.clear();
        Text().text = u"kept\r\nas it was";
        Text().failRead = failRead;
        Text().failWrite = !failRead;

        EXPECT_NO_THROW(Click("cmdGo"));

        EXPECT_EQ(Text().text, u"kept\r\nas it was");
        ASSERT_EQ(app.messages.size(), 1u);
        EXPECT_NE(app.messages[0].find(u"not been changed"), std::u16string::npos);
        EXPECT_TRUE(form->loaded);
    }
}

}  // namespace
}  // namespace ostrada
