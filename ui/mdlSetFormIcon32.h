// Gives a window (and, if asked, its outermost owner) its large and small
// icons from an icon group of the executable.
#pragma once

#include <string_view>

#include "platform/Forms.h"

namespace ostrada::ui {

// Runs with errors ignored throughout and reports nothing.
void InstallWindowIcons(platform::Application& app, platform::Handle window,
                        std::u16string_view iconName, bool alsoOwner);

}  // namespace ostrada::ui
