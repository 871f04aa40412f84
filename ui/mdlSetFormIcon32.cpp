#include "ui/mdlSetFormIcon32.h"

namespace ostrada::ui {

void InstallWindowIcons(platform::Application&, platform::Handle, std::u16string_view, bool) {}

}  // namespace ostrada::ui
