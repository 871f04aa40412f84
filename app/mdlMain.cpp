#include "app/mdlMain.h"

#include <cstdint>

#include "app/mdlModes.h"
#include "platform/DeclaredEntry.h"
#include "ui/frmMain.h"

namespace ostrada::app {

namespace {

// INITCOMMONCONTROLSEX
struct CommonControlsRecord {
    std::uint32_t dwSize;
    std::uint32_t dwICC;
};

constexpr platform::DeclaredEntry<int, const CommonControlsRecord*> InitCommonControlsEx{
    "comctl32", "InitCommonControlsEx"};

}  // namespace

StartMode StartModeFrom(std::u16string_view argumentText) {
    return argumentText == u"-st" ? StartMode::minimised : StartMode::normal;
}

void RunStartUp(platform::Application& app) {
    // Identity and common controls run with errors ignored: a system
    // without InitCommonControlsEx still starts.
    platform::IgnoreErrors([&] { InitProductIdentity(app); });
    platform::IgnoreErrors([&] {
        const CommonControlsRecord record{8, 0x200};
        InitCommonControlsEx(app, &record);
    });

    const StartMode mode = StartModeFrom(app.ArgumentText());
    platform::Form& form = ui::frmMain::Create(app);
    form.Show();
    if (mode == StartMode::minimised) form.Minimise();
}

}  // namespace ostrada::app
