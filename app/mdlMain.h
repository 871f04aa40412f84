// Start-up: identity, common controls, start mode, main window.
#pragma once

#include <string_view>

#include "platform/Forms.h"

namespace ostrada::app {

enum class StartMode { normal, minimised };

// "-st", exactly, starts minimised; any other argument text starts normally.
StartMode StartModeFrom(std::u16string_view argumentText);

// Called once by the platform before any window exists. Returns with the
// main window shown; the platform's event loop takes over from there.
void RunStartUp(platform::Application& app);

}  // namespace ostrada::app
