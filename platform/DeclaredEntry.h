// An operating-system function declared by library and name, resolved
// through the application when it is first called. A library or function
// that is missing raises platform::Error at the call, which a caller
// running with errors ignored simply skips.
#pragma once

#include "platform/Forms.h"

// The calling convention of the Windows API on 32-bit x86; elsewhere there
// is only one.
#if defined(_WIN32) && defined(__i386__)
#define OSTRADA_WINAPI __stdcall
#else
#define OSTRADA_WINAPI
#endif

namespace ostrada::platform {

template <typename Result, typename... Args>
class DeclaredEntry {
public:
    using Function = Result(OSTRADA_WINAPI*)(Args...);

    constexpr DeclaredEntry(const char* library, const char* function)
        : library_(library), function_(function) {}

    Result operator()(Application& app, Args... args) const {
        void* address = app.ResolveEntryPoint(library_, function_);
        if (address == nullptr) {
            throw Error("Can't find the DLL entry point ", function_);
        }
        return reinterpret_cast<Function>(address)(args...);
    }

private:
    const char* library_;
    const char* function_;
};

}  // namespace ostrada::platform
