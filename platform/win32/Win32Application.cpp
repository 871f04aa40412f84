#include "platform/win32/Win32Application.h"

#include <new>

#include "platform/CommandLine.h"
#include "platform/win32/Win32Form.h"

namespace ostrada::platform::win32 {

namespace {

constexpr wchar_t kApplicationClass[] = L"OstradaApplication";

// The application title, kept where the unhandled-error path can reach it
// without touching any object that may be in a broken state.
wchar_t g_title[256] = L"";

void RegisterApplicationClass(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = kApplicationClass;
    if (!RegisterClassExW(&wc)) throw Error("Could not register the application window class");
}

std::wstring WideFromUtf8(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0) return L"";
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length) - 1);
    return wide;
}

}  // namespace

[[noreturn]] void UnhandledError(const char* what) noexcept {
    wchar_t message[1024];
    try {
        lstrcpynW(message, (L"Run-time error:\n\n" + WideFromUtf8(what)).c_str(), ARRAYSIZE(message));
    } catch (...) {
        lstrcpynW(message, L"Run-time error", ARRAYSIZE(message));
    }
    MessageBoxW(nullptr, message, g_title[0] ? g_title : L"Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    ExitProcess(1);
}

Win32Application::Win32Application(HINSTANCE instance) : instance_(instance) {
    RegisterApplicationClass(instance_);
    RegisterFormClasses(instance_);
    owner_ = CreateWindowExW(0, kApplicationClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance_, nullptr);
    if (owner_ == nullptr) throw Error("Could not create the application window");
}

Win32Application::~Win32Application() {
    forms_.clear();
    if (owner_) DestroyWindow(owner_);
    for (const Library& library : libraries_) FreeLibrary(library.module);
}

int Win32Application::Run(const std::function<void(Application&)>& startUp) {
    Guarded([&]() -> LRESULT {
        startUp(*this);
        return 0;
    });
    startUpReturned_ = true;
    EndIfNoFormLoaded();

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // Tab, Shift+Tab and Enter on a button work in a form as in a dialog.
        HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (root && GetWindowLongPtrW(root, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&Win32Form::WindowProc) &&
            IsDialogMessageW(root, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

std::u16string Win32Application::ArgumentText() const {
    const auto* commandLine = reinterpret_cast<const char16_t*>(GetCommandLineW());
    return std::u16string(platform::ArgumentText(commandLine ? commandLine : u""));
}

void Win32Application::SetTitle(std::u16string_view title) {
    title_.assign(title);
    lstrcpynW(g_title, Wide(title_), ARRAYSIZE(g_title));
    SetWindowTextW(owner_, Wide(title_));
}

Handle Win32Application::ModuleInstance() const { return reinterpret_cast<Handle>(instance_); }

void* Win32Application::ResolveEntryPoint(const char* library, const char* function) {
    for (const EntryPoint& entry : entryPoints_) {
        if (lstrcmpiA(entry.library, library) == 0 && lstrcmpA(entry.function, function) == 0) {
            return reinterpret_cast<void*>(entry.address);
        }
    }
    HMODULE module = nullptr;
    for (const Library& loaded : libraries_) {
        if (lstrcmpiA(loaded.name, library) == 0) module = loaded.module;
    }
    if (module == nullptr) {
        wchar_t name[MAX_PATH];
        if (MultiByteToWideChar(CP_ACP, 0, library, -1, name, MAX_PATH) == 0) return nullptr;
        module = LoadLibraryW(name);
        if (module == nullptr) return nullptr;
        libraries_.push_back({library, module});
    }
    FARPROC address = GetProcAddress(module, function);
    if (address == nullptr) return nullptr;
    entryPoints_.push_back({library, function, address});
    return reinterpret_cast<void*>(address);
}

std::string Win32Application::ToAnsi(std::u16string_view text) const {
    if (text.empty()) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int units = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
    if (length <= 0) throw Error("Could not convert the text to the ANSI code page");
    std::string ansi(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, units, ansi.data(), length, nullptr, nullptr);
    return ansi;
}

Form& Win32Application::CreateForm(const FormDesign& design) {
    forms_.push_back(std::make_unique<Win32Form>(*this, instance_, owner_, design));
    return *forms_.back();
}

void Win32Application::ShowMessage(std::u16string_view text) {
    MessageBoxW(ActiveForm(), WideString(text).c_str(), Wide(title_), MB_OK | MB_ICONEXCLAMATION);
}

HWND Win32Application::ActiveForm() const {
    HWND active = GetActiveWindow();
    for (const auto& form : forms_) {
        if (form->Loaded() && form->Window() == active) return active;
    }
    for (const auto& form : forms_) {
        if (form->Loaded()) return form->Window();
    }
    return owner_;
}

void Win32Application::FormUnloaded() { EndIfNoFormLoaded(); }

void Win32Application::EndIfNoFormLoaded() {
    if (!startUpReturned_) return;
    for (const auto& form : forms_) {
        if (form->Loaded()) return;
    }
    PostQuitMessage(0);
}

}  // namespace ostrada::platform::win32
