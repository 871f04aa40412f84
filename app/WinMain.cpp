// The process entry point: the Win32 forms platform runs the start-up
// routine, then its event loop.
#include "app/mdlMain.h"
#include "platform/win32/Win32Application.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using ostrada::platform::win32::Win32Application;
    try {
        Win32Application application(instance);
        return application.Run(ostrada::app::RunStartUp);
    } catch (const std::exception& error) {
        ostrada::platform::win32::UnhandledError(error.what());
    }
}
