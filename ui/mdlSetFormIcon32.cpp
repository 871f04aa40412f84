#include "ui/mdlSetFormIcon32.h"

#include <cstdint>

#include "platform/DeclaredEntry.h"

namespace ostrada::ui {

namespace {

using platform::Handle;

// user32, in plain integer types of the same width as HWND, UINT, int,
// WPARAM, LPARAM and LRESULT.
constexpr platform::DeclaredEntry<Handle, Handle, unsigned> GetWindow{"user32", "GetWindow"};
constexpr platform::DeclaredEntry<int, int> GetSystemMetrics{"user32", "GetSystemMetrics"};
constexpr platform::DeclaredEntry<Handle, Handle, const char*, unsigned, int, int, unsigned>
    LoadImageA{"user32", "LoadImageA"};
constexpr platform::DeclaredEntry<std::intptr_t, Handle, unsigned, Handle, Handle>
    SendMessageA{"user32", "SendMessageA"};

constexpr unsigned GW_OWNER = 4;
constexpr int SM_CXICON = 11;
constexpr int SM_CYICON = 12;
constexpr int SM_CXSMICON = 49;
constexpr int SM_CYSMICON = 50;
constexpr unsigned IMAGE_ICON = 1;
constexpr unsigned LR_SHARED = 0x8000;
constexpr unsigned WM_SETICON = 0x80;
constexpr Handle ICON_BIG = 1;
constexpr Handle ICON_SMALL = 0;

}  // namespace

void InstallWindowIcons(platform::Application& app, platform::Handle window,
                        std::u16string_view iconName, bool alsoOwner) {
    using platform::IgnoreErrors;

    // Every statement runs with errors ignored: one that fails leaves what
    // it would have set at 0, and the next one runs.

    // The outermost owner; the window itself when it has none.
    Handle top = 0;
    if (alsoOwner) {
        Handle h = window;
        top = window;
        while (h != 0) {
            Handle owner = 0;
            IgnoreErrors([&] { owner = GetWindow(app, h, GW_OWNER); });
            h = owner;
            if (h != 0) top = h;
        }
    }

    // The size is read afresh for each load. The icon is shared: the system
    // keeps it, and nothing here frees it.
    auto loadIcon = [&](int xMetric, int yMetric) {
        int cx = 0;
        int cy = 0;
        Handle icon = 0;
        IgnoreErrors([&] { cx = GetSystemMetrics(app, xMetric); });
        IgnoreErrors([&] { cy = GetSystemMetrics(app, yMetric); });
        IgnoreErrors([&] {
            icon = LoadImageA(app, app.ModuleInstance(), app.ToAnsi(iconName).c_str(), IMAGE_ICON,
                              cx, cy, LR_SHARED);
        });
        return icon;
    };
    // The owner first, then the window; a failed load still sends its 0.
    auto setIcon = [&](Handle which, Handle icon) {
        if (alsoOwner) IgnoreErrors([&] { SendMessageA(app, top, WM_SETICON, which, icon); });
        IgnoreErrors([&] { SendMessageA(app, window, WM_SETICON, which, icon); });
    };

    setIcon(ICON_BIG, loadIcon(SM_CXICON, SM_CYICON));
    setIcon(ICON_SMALL, loadIcon(SM_CXSMICON, SM_CYSMICON));
}

}  // namespace ostrada::ui
