// InstallWindowIcons against a recording double of the four user32 calls it
// makes. The double keeps a small model of the system: which window owns
// which, the current icon metrics, and the icon groups the executable has.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "FakePlatform.h"
#include "platform/DeclaredEntry.h"
#include "ui/mdlSetFormIcon32.h"

namespace ostrada::testing {
namespace {

using platform::Handle;

constexpr Handle kWindow = 0x100;

struct User32 {
    Log calls;
    std::map<Handle, Handle> owners;  // window -> its owner
    std::map<int, int> metrics{{11, 32}, {12, 32}, {49, 16}, {50, 16}};
    // The icon groups the executable has; loading one at cx pixels gives the
    // handle base + cx, so a handle tells which size was asked for.
    std::map<std::string, Handle> groups{{"AAA", 0x5000}};
    std::function<void()> afterLoad = [] {};
};
User32* user32 = nullptr;

std::string Hex(std::uintptr_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%jx", static_cast<std::uintmax_t>(value));
    return text;
}

Handle OSTRADA_WINAPI GetWindow(Handle window, unsigned command) {
    user32->calls.push_back("GetWindow(" + Hex(window) + ", " + std::to_string(command) + ")");
    auto owner = user32->owners.find(window);
    return command == 4 && owner != user32->owners.end() ? owner->second : 0;
}

int OSTRADA_WINAPI GetSystemMetrics(int index) {
    user32->calls.push_back("GetSystemMetrics(" + std::to_string(index) + ")");
    auto metric = user32->metrics.find(index);
    return metric == user32->metrics.end() ? 0 : metric->second;
}

Handle OSTRADA_WINAPI LoadImageA(Handle instance, const char* name, unsigned type, int cx, int cy,
                                 unsigned flags) {
    user32->calls.push_back("LoadImageA(" + Hex(instance) + ", " + name + ", " + std::to_string(type) +
                            ", " + std::to_string(cx) + ", " + std::to_string(cy) + ", " + Hex(flags) +
                            ")");
    auto group = user32->groups.find(name);
    Handle icon = group == user32->groups.end() ? 0 : group->second + static_cast<Handle>(cx);
    user32->afterLoad();
    return icon;
}

std::intptr_t OSTRADA_WINAPI SendMessageA(Handle window, unsigned message, Handle wParam, Handle lParam) {
    user32->calls.push_back("SendMessageA(" + Hex(window) + ", " + Hex(message) + ", " +
                            std::to_string(wParam) + ", " + Hex(lParam) + ")");
    return 0;
}

std::map<std::string, void*> User32EntryPoints() {
    return {
        {"user32!GetWindow", reinterpret_cast<void*>(&GetWindow)},
        {"user32!GetSystemMetrics", reinterpret_cast<void*>(&GetSystemMetrics)},
        {"user32!LoadImageA", reinterpret_cast<void*>(&LoadImageA)},
        {"user32!SendMessageA", reinterpret_cast<void*>(&SendMessageA)},
    };
}

class IconInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        user32 = &system;
        app.entryPoints = User32EntryPoints();
    }
    void TearDown() override {
        user32 = nullptr;
        // Apart from resolving user32's entry points, nothing is asked of
        // the platform: in particular nothing is shown to the user.
        for (const std::string& entry : app.log) {
            EXPECT_EQ(entry.rfind("Resolve(user32!", 0), 0u) << entry;
        }
    }

    void Install(std::u16string_view name, bool alsoOwner) {
        EXPECT_NO_THROW(ui::InstallWindowIcons(app, kWindow, name, alsoOwner));
    }

    User32 system;
    FakeApplication app;
};

// The large icon, then the small one; for each, the owner walk's result
// first and the window second.
TEST_F(IconInstallerTest, WindowWithoutOwnerGetsEachIconTwice) {
    Install(u"AAA", true);

    EXPECT_EQ(system.calls, (Log{
                                "GetWindow(0x100, 4)",
                                "GetSystemMetrics(11)",
                                "GetSystemMetrics(12)",
                                "LoadImageA(0x400000, AAA, 1, 32, 32, 0x8000)",
                                "SendMessageA(0x100, 0x80, 1, 0x5020)",
                                "SendMessageA(0x100, 0x80, 1, 0x5020)",
                                "GetSystemMetrics(49)",
                                "GetSystemMetrics(50)",
                                "LoadImageA(0x400000, AAA, 1, 16, 16, 0x8000)",
                                "SendMessageA(0x100, 0x80, 0, 0x5010)",
                                "SendMessageA(0x100, 0x80, 0, 0x5010)",
                            }));
}

TEST_F(IconInstallerTest, WithoutAlsoOwnerOnlyTheWindowGetsIcons) {
    system.owners = {{kWindow, 0x200}};

    Install(u"AAA", false);

    EXPECT_EQ(system.calls, (Log{
                                "GetSystemMetrics(11)",
                                "GetSystemMetrics(12)",
                                "LoadImageA(0x400000, AAA, 1, 32, 32, 0x8000)",
                                "SendMessageA(0x100, 0x80, 1, 0x5020)",
                                "GetSystemMetrics(49)",
                                "GetSystemMetrics(50)",
                                "LoadImageA(0x400000, AAA, 1, 16, 16, 0x8000)",
                                "SendMessageA(0x100, 0x80, 0, 0x5010)",
                            }));
}

TEST_F(IconInstallerTest, OnlyTheOutermostOfSeveralOwnersGetsIcons) {
    system.owners = {{kWindow, 0x200}, {0x200, 0x300}, {0x300, 0x400}};

    Install(u"AAA", true);

    EXPECT_EQ(system.calls, (Log{
                                "GetWindow(0x100, 4)",
                                "GetWindow(0x200, 4)",
                                "GetWindow(0x300, 4)",
                                "GetWindow(0x400, 4)",
                                "GetSystemMetrics(11)",
                                "GetSystemMetrics(12)",
                                "LoadImageA(0x400000, AAA, 1, 32, 32, 0x8000)",
                                "SendMessageA(0x400, 0x80, 1, 0x5020)",
                                "SendMessageA(0x100, 0x80, 1, 0x5020)",
                                "GetSystemMetrics(49)",
                                "GetSystemMetrics(50)",
                                "LoadImageA(0x400000, AAA, 1, 16, 16, 0x8000)",
                                "SendMessageA(0x400, 0x80, 0, 0x5010)",
                                "SendMessageA(0x100, 0x80, 0, 0x5010)",
                            }));
}

TEST_F(IconInstallerTest, NameWithoutAnIconGroupStillSendsZeroHandles) {
    system.owners = {{kWindow, 0x200}};

    Install(u"ZZZ", true);

    EXPECT_EQ(system.calls, (Log{
                                "GetWindow(0x100, 4)",
                                "GetWindow(0x200, 4)",
                                "GetSystemMetrics(11)",
                                "GetSystemMetrics(12)",
                                "LoadImageA(0x400000, ZZZ, 1, 32, 32, 0x8000)",
                                "SendMessageA(0x200, 0x80, 1, 0x0)",
                                "SendMessageA(0x100, 0x80, 1, 0x0)",
                                "GetSystemMetrics(49)",
                                "GetSystemMetrics(50)",
                                "LoadImageA(0x400000, ZZZ, 1, 16, 16, 0x8000)",
                                "SendMessageA(0x200, 0x80, 0, 0x0)",
                                "SendMessageA(0x100, 0x80, 0, 0x0)",
                            }));
}

// A user32 function that cannot be found skips the steps that call it;
// what they would have set stays 0 and every other step still runs.
TEST_F(IconInstallerTest, MissingEntryPointSkipsOnlyItsSteps) {
    struct Case {
        const char* missing;
        Log calls;
    };
    const Case cases[] = {
        // No owner walk: the window stands in for its owner.
        {"GetWindow",
         {
             "GetSystemMetrics(11)",
             "GetSystemMetrics(12)",
             "LoadImageA(0x400000, AAA, 1, 32, 32, 0x8000)",
             "SendMessageA(0x100, 0x80, 1, 0x5020)",
             "SendMessageA(0x100, 0x80, 1, 0x5020)",
             "GetSystemMetrics(49)",
             "GetSystemMetrics(50)",
             "LoadImageA(0x400000, AAA, 1, 16, 16, 0x8000)",
             "SendMessageA(0x100, 0x80, 0, 0x5010)",
             "SendMessageA(0x100, 0x80, 0, 0x5010)",
         }},
        {"GetSystemMetrics",
         {
             "GetWindow(0x100, 4)",
             "GetWindow(0x200, 4)",
             "LoadImageA(0x400000, AAA, 1, 0, 0, 0x8000)",
             "SendMessageA(0x200, 0x80, 1, 0x5000)",
             "SendMessageA(0x100, 0x80, 1, 0x5000)",
             "LoadImageA(0x400000, AAA, 1, 0, 0, 0x8000)",
             "SendMessageA(0x200, 0x80, 0, 0x5000)",
             "SendMessageA(0x100, 0x80, 0, 0x5000)",
         }},
        {"LoadImageA",
         {
             "GetWindow(0x100, 4)",
             "GetWindow(0x200, 4)",
             "GetSystemMetrics(11)",
             "GetSystemMetrics(12)",
             "SendMessageA(0x200, 0x80, 1, 0x0)",
             "SendMessageA(0x100, 0x80, 1, 0x0)",
             "GetSystemMetrics(49)",
             "GetSystemMetrics(50)",
             "SendMessageA(0x200, 0x80, 0, 0x0)",
             "SendMessageA(0x100, 0x80, 0, 0x0)",
         }},
        {"SendMessageA",
         {
             "GetWindow(0x100, 4)",
             "GetWindow(0x200, 4)",
             "GetSystemMetrics(11)",
             "GetSystemMetrics(12)",
             "LoadImageA(0x400000, AAA, 1, 32, 32, 0x8000)",
             "GetSystemMetrics(49)",
             "GetSystemMetrics(50)",
             "LoadImageA(0x400000, AAA, 1, 16, 16, 0x8000)",
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.missing);
        system = User32{};
        system.owners = {{kWindow, 0x200}};
        app.entryPoints = User32EntryPoints();
        app.entryPoints.erase(std::string("user32!") + c.missing);

        Install(u"AAA", true);

        EXPECT_EQ(system.calls, c.calls);
    }
}

// The system's icon sizes can change at any time (a new DPI, say), so the
// small size is read after the large icon is in place, not up front.
TEST_F(IconInstallerTest, IconSizesAreReadAgainForEachLoad) {
    system.afterLoad = [this] {
        system.metrics = {{11, 48}, {12, 48}, {49, 24}, {50, 24}};
    };

    Install(u"AAA", false);

    EXPECT_EQ(system.calls, (Log{
                                "GetSystemMetrics(11)",
                                "GetSystemMetrics(12)",
                                "LoadImageA(0x400000, AAA, 1, 32, 32, 0x8000)",
                                "SendMessageA(0x100, 0x80, 1, 0x5020)",
                                "GetSystemMetrics(49)",
                                "GetSystemMetrics(50)",
                                "LoadImageA(0x400000, AAA, 1, 24, 24, 0x8000)",
                                "SendMessageA(0x100, 0x80, 0, 0x5018)",
                            }));
}

// user32 gets the name in the ANSI code page, as the platform converts it
// (the fake turns what is not ASCII into '?'), not cut down unit by unit.
TEST_F(IconInstallerTest, NameIsPassedInTheAnsiCodePage) {
    system.groups = {{"Ic?ne?", 0x7000}};

    Install(u"Ic\u00f4ne\u2192", false);

    ASSERT_EQ(system.calls.size(), 8u);
    EXPECT_EQ(system.calls[2], "LoadImageA(0x400000, Ic?ne?, 1, 32, 32, 0x8000)");
    EXPECT_EQ(system.calls[3], "SendMessageA(0x100, 0x80, 1, 0x7020)");
    EXPECT_EQ(system.calls[6], "LoadImageA(0x400000, Ic?ne?, 1, 16, 16, 0x8000)");
}

}  // namespace
}  // namespace ostrada::testing
