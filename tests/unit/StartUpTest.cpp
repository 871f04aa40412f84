#include <gtest/gtest.h>

#include <algorithm>

#include "FakePlatform.h"
#include "app/mdlMain.h"
#include "app/mdlModes.h"
#include "platform/DeclaredEntry.h"

namespace ostrada {
namespace {

using testing::FakeApplication;

struct CommonControlsCall {
    int calls = 0;
    std::uint32_t size = 0;
    std::uint32_t classes = 0;
} g_commonControls;

struct Record {
    std::uint32_t dwSize;
    std::uint32_t dwICC;
};

int OSTRADA_WINAPI FakeInitCommonControlsEx(const Record* record) {
    ++g_commonControls.calls;
    g_commonControls.size = record->dwSize;
    g_commonControls.classes = record->dwICC;
    return 1;
}

class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        g_commonControls = {};
        app::productIdentity = {};
        app.entryPoints["comctl32!InitCommonControlsEx"] = reinterpret_cast<void*>(&FakeInitCommonControlsEx);
    }

    // The position of the first log entry that starts with prefix.
    std::ptrdiff_t Step(const std::string& prefix) const {
        auto found = std::find_if(app.log.begin(), app.log.end(),
                                  [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; });
        EXPECT_NE(found, app.log.end()) << "no step " << prefix;
        return found - app.log.begin();
    }

    FakeApplication app;
};

TEST_F(StartUp, RunsItsStepsInOrder) {
    app::RunStartUp(app);

    EXPECT_LT(Step("SetTitle(Ostrada 1.0)"), Step("Resolve(comctl32!InitCommonControlsEx)"));
    EXPECT_LT(Step("Resolve(comctl32!InitCommonControlsEx)"), Step("ArgumentText"));
    EXPECT_LT(Step("ArgumentText"), Step("CreateForm(frmMain)"));
    // The window is loaded (caption set) before it is first shown.
    EXPECT_LT(Step("frmMain.SetCaption(Ostrada)"), Step("frmMain.Show"));
    EXPECT_EQ(std::count(app.log.begin(), app.log.end(), "frmMain.Show"), 1);
    EXPECT_EQ(app.forms.size(), 1u);
}

TEST_F(StartUp, InitialisesCommonControlsWithTheRecordItWasGiven) {
    app::RunStartUp(app);

    EXPECT_EQ(g_commonControls.calls, 1);
    EXPECT_EQ(g_commonControls.size, 8u);
    EXPECT_EQ(g_commonControls.classes, 0x200u);
}

TEST_F(StartUp, CarriesOnWithoutInitCommonControlsEx) {
    app.entryPoints.clear();

    app::RunStartUp(app);

    EXPECT_EQ(g_commonControls.calls, 0);
    EXPECT_EQ(app.title, u"Ostrada 1.0");
    EXPECT_EQ(std::count(app.log.begin(), app.log.end(), "frmMain.Show"), 1);
}

struct StartModeCase {
    std::u16string argumentText;
    app::StartMode expected;
};

// Shown as its argument text: printed byte by byte, the case would show its
// padding and the unused part of its string, which are never written.
void PrintTo(const StartModeCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.argumentText); }

class StartModes : public StartUp, public ::testing::WithParamInterface<StartModeCase> {};

TEST_P(StartModes, OnlyTheExactSwitchMinimisesAfterANormalShow) {
    app.argumentText = GetParam().argumentText;
    EXPECT_EQ(app::StartModeFrom(GetParam().argumentText), GetParam().expected);

    app::RunStartUp(app);

    const auto minimise = std::find(app.log.begin(), app.log.end(), "frmMain.Minimise");
    if (GetParam().expected == app::StartMode::minimised) {
        ASSERT_NE(minimise, app.log.end());
        EXPECT_LT(Step("frmMain.Show"), minimise - app.log.begin());
        EXPECT_EQ(minimise + 1, app.log.end()) << "minimising is the last step";
    } else {
        EXPECT_EQ(minimise, app.log.end());
    }
}

INSTANTIATE_TEST_SUITE_P(ArgumentTexts, StartModes,
                         ::testing::Values(StartModeCase{u"-st", app::StartMode::minimised},
                                           StartModeCase{u"", app::StartMode::normal},
                                           StartModeCase{u"-ST", app::StartMode::normal},
                                           StartModeCase{u"/st", app::StartMode::normal},
                                           StartModeCase{u"st", app::StartMode::normal},
                                           StartModeCase{u"-st x", app::StartMode::normal},
                                           StartModeCase{u"-st ", app::StartMode::normal},
                                           StartModeCase{u" -st", app::StartMode::normal},
                                           StartModeCase{u"-s", app::StartMode::normal},
                                           StartModeCase{u"\"-st\"", app::StartMode::normal}));

TEST(ProductIdentity, RunningItTwiceGivesTheSameState) {
    FakeApplication app;
    app::productIdentity = {};

    app::InitProductIdentity(app);
    const app::ProductIdentity first = app::productIdentity;
    app::InitProductIdentity(app);

    EXPECT_EQ(first.productName, u"Ostrada");
    EXPECT_EQ(first.productVersion, u"1.0");
    EXPECT_EQ(first.titleColorText, u"4227072");
    EXPECT_EQ(app::productIdentity.productName, first.productName);
    EXPECT_EQ(app::productIdentity.productVersion, first.productVersion);
    EXPECT_EQ(app::productIdentity.titleColorText, first.titleColorText);
    EXPECT_EQ(app.title, u"Ostrada 1.0");
    EXPECT_EQ(std::count(app.log.begin(), app.log.end(), "SetTitle(Ostrada 1.0)"), 2);
}

}  // namespace
}  // namespace ostrada
