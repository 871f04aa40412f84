// The process entry point: the Win32 forms platform runs the start-up
// routine, then its event loop.
#include "app/mdlMain.h"
#include "platform/win32/Win32Application.h"

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using ostrada::platform::win32::Win32Application;
    try {
        Win32Application application(instance);
        return application.Run(ostrada::app::RunStartUp);
    } catch (const std::exception& error) {
        ostrada::platform::win32::UnhandledError(error.what());
    }
}

// The C++ runtime's default terminate handler prints the demangled name of
// the exception's type to the console. A GUI program has no console, and the
// demangler would be a sixth of the executable. Every error is caught at a
// window procedure or here, so terminate is never reached.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
