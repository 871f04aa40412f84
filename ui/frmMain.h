// The main window: a green title strip, one large text box, Go and Exit.
#pragma once

#include <string_view>

#include "platform/Forms.h"

namespace ostrada::ui::frmMain {

// Builds the window from its design, wires its events and runs its Load
// handler. The window is not yet visible when this returns.
platform::Form& Create(platform::Application& app);

// The title strip's colour from its decimal text, as a 32-bit signed value
// taken as 0x00BBGGRR.
platform::Colour ColourFromText(std::u16string_view text);

}  // namespace ostrada::ui::frmMain
