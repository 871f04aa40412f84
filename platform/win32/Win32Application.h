// The forms platform on Win32: the application object, its hidden owner
// window, the event loop and the unhandled-error path.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Forms.h"
#include "platform/win32/Win32.h"

namespace ostrada::platform::win32 {

class Win32Form;

class Win32Application final : public Application {
public:
    explicit Win32Application(HINSTANCE instance);
    ~Win32Application() override;
    Win32Application(const Win32Application&) = delete;
    Win32Application& operator=(const Win32Application&) = delete;

    // Calls startUp, then runs the event loop until the last form has
    // unloaded. Returns the process exit code.
    int Run(const std::function<void(Application&)>& startUp);

    std::u16string ArgumentText() const override;
    void SetTitle(std::u16string_view title) override;
    Handle ModuleInstance() const override;
    void* ResolveEntryPoint(const char* library, const char* function) override;
    std::string ToAnsi(std::u16string_view text) const override;
    Form& CreateForm(const FormDesign& design) override;
    void ShowMessage(std::u16string_view text) override;

    // Called by a form whose window has been destroyed.
    void FormUnloaded();

private:
    void EndIfNoFormLoaded();
    HWND ActiveForm() const;

    HINSTANCE instance_;
    HWND owner_ = nullptr;  // hidden; owns every form, so none has a task-bar button
    std::u16string title_;
    std::vector<std::unique_ptr<Win32Form>> forms_;
    struct Library {
        const char* name;
        HMODULE module;  // loaded by us, freed with the application
    };
    struct EntryPoint {
        const char* library;
        const char* function;
        FARPROC address;
    };
    std::vector<Library> libraries_;
    std::vector<EntryPoint> entryPoints_;
    bool startUpReturned_ = false;
};

// Reports an error that nothing handled, then ends the process with a
// non-zero exit code.
[[noreturn]] void UnhandledError(const char* what) noexcept;

// Runs a window procedure's handler so that no exception leaves it: any
// error goes to the unhandled-error path.
template <typename Handler>
LRESULT Guarded(Handler&& handler) noexcept {
    try {
        return handler();
    } catch (const std::exception& error) {
        UnhandledError(error.what());
    } catch (...) {
        UnhandledError("Unknown error");
    }
}

}  // namespace ostrada::platform::win32
