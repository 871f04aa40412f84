#include "e2e_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <set>

namespace ostrada_e2e {

// ================================================================ output

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes,
                        nullptr, nullptr);
    return out;
}

std::string Visible(const std::wstring& text, std::size_t limit) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (out.size() > limit) {
            out += Format("...\" (%zu code units)", text.size());
            return out;
        }
        wchar_t c = text[i];
        if (c == L'\r') out += "\\r";
        else if (c == L'\n') out += "\\n";
        else if (c == L'"' || c == L'\\') out += std::string("\\") + static_cast<char>(c);
        else if (c >= 0x20 && c < 0x7f) out += static_cast<char>(c);
        else out += Format("\\u%04X", static_cast<unsigned>(c));
    }
    return out + "\"";
}

std::string Format(const char* format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

namespace {
// The watchdog thread prints too.
SRWLOCK g_outputLock = SRWLOCK_INIT;

class Locked {
public:
    explicit Locked(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Locked() { ReleaseSRWLockExclusive(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    SRWLOCK& lock_;
};
}  // namespace

void Print(const std::string& line) {
    Locked guard(g_outputLock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// ================================================================ runner

namespace {

Options g_options;

std::vector<TestCase>& Registry() {
    static std::vector<TestCase> tests;
    return tests;
}

// Processes this driver started, ended by the watchdog or at exit.
SRWLOCK g_childrenLock = SRWLOCK_INIT;
std::set<HANDLE> g_children;

void TrackChild(HANDLE process) {
    Locked guard(g_childrenLock);
    g_children.insert(process);
}
void UntrackChild(HANDLE process) {
    Locked guard(g_childrenLock);
    g_children.erase(process);
}
void EndChildren() {
    Locked guard(g_childrenLock);
    for (HANDLE process : g_children) TerminateProcess(process, 99);
}

DWORD WINAPI Watchdog(void*) {
    Sleep(static_cast<DWORD>(g_options.watchdogSeconds) * 1000);
    Print(Format("FAIL watchdog: the run took more than %d s; ending it", g_options.watchdogSeconds));
    EndChildren();
    std::fflush(stdout);
    ExitProcess(3);
}

bool Selected(const TestCase& test) {
    if (std::find(test.suites.begin(), test.suites.end(), g_options.suite) == test.suites.end()) {
        return false;
    }
    return g_options.only.empty() ||
           std::find(g_options.only.begin(), g_options.only.end(), test.name) != g_options.only.end();
}

}  // namespace

const Options& TheOptions() { return g_options; }

void UseOptions(const Options& options) { g_options = options; }

DWORD Millis(double seconds) { return static_cast<DWORD>(seconds * g_options.slow * 1000.0); }

bool TestContext::Check(bool ok, const std::string& what) {
    if (!ok) failures_.push_back(what);
    return ok;
}

void TestContext::Require(bool ok, const std::string& what) {
    if (!ok) throw Abort(what);
}

bool CheckText(TestContext& t, const std::wstring& got, const std::wstring& want,
               const std::string& what) {
    if (got == want) return true;
    std::size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    std::size_t from = at > 20 ? at - 20 : 0;
    t.Check(false, Format("%s: %zu code units, expected %zu; first difference at %zu: got %s, expected %s",
                          what.c_str(), got.size(), want.size(), at,
                          Visible(got.substr(from, 60)).c_str(), Visible(want.substr(from, 60)).c_str()));
    return false;
}

bool Register(TestCase test) {
    Registry().push_back(std::move(test));
    return true;
}

int RunTests(const Options& options) {
    g_options = options;
    for (const std::string& name : options.only) {
        bool known = std::any_of(Registry().begin(), Registry().end(),
                                 [&](const TestCase& test) { return test.name == name; });
        if (!known) {
            Print("unknown test: " + name);
            return 2;
        }
    }
    if (options.list) {
        for (const TestCase& test : Registry()) {
            if (Selected(test)) Print(test.name);
        }
        return 0;
    }
    HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (watchdog != nullptr) CloseHandle(watchdog);

    std::string plan = "PLAN";
    for (const TestCase& test : Registry()) {
        if (Selected(test)) plan += " " + test.name;
    }
    Print(plan);

    int passed = 0;
    int failed = 0;
    for (const TestCase& test : Registry()) {
        if (!Selected(test)) continue;
        Print("RUN  " + test.name);
        TestContext t(test.name);
        ULONGLONG started = GetTickCount64();
        try {
            test.run(t);
        } catch (const Abort& abort) {
            t.Check(false, abort.what());
        } catch (const std::exception& error) {
            t.Check(false, std::string("exception: ") + error.what());
        }
        double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
        for (const std::string& note : t.Notes()) Print("     note: " + note);
        for (const std::string& failure : t.Failures()) Print("     " + failure);
        Print(Format("%s %s (%.1f s)", t.Failed() ? "FAIL" : "PASS", test.name.c_str(), seconds));
        (t.Failed() ? failed : passed) += 1;
    }
    EndSharedProgram();
    Print(Format("driver: %d passed, %d failed", passed, failed));
    return failed == 0 ? 0 : 1;
}

// ================================================================ windows

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring TextOf(HWND window) {
    auto length = static_cast<std::size_t>(Send(window, WM_GETTEXTLENGTH, 0, 0));
    std::wstring text(length + 1, L'\0');
    auto copied = static_cast<std::size_t>(
        Send(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data())));
    text.resize(std::min(copied, length));
    return text;
}

RECT RectInParent(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

LONG_PTR Style(HWND window) { return GetWindowLongPtrW(window, GWL_STYLE); }
LONG_PTR ExStyle(HWND window) { return GetWindowLongPtrW(window, GWL_EXSTYLE); }

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, double seconds) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, Millis(seconds), &result)) {
        throw Abort(Format("message 0x%04X to window %p not handled within %.0f s (error %lu)", message,
                           static_cast<void*>(window), seconds * g_options.slow, GetLastError()));
    }
    return static_cast<LRESULT>(result);
}

void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!PostMessageW(window, message, wParam, lParam)) {
        throw Abort(Format("cannot post message 0x%04X (error %lu)", message, GetLastError()));
    }
}

// ================================================================ program

namespace {

struct FindWindowSearch {
    DWORD pid;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK FindWindowOf(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<FindWindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && ClassOf(window) == search->className && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

std::wstring DriverDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory = path;
    return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

}  // namespace

HWND FindVisibleWindow(DWORD pid, const wchar_t* className) {
    FindWindowSearch search{pid, className, nullptr};
    EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

namespace {

// The driver's environment with the given "NAME=value" entries in place of
// its own ones of those names, as CreateProcessW takes it.
std::wstring EnvironmentBlock(const std::vector<std::wstring>& changes) {
    auto nameOf = [](const std::wstring& entry) {
        // Names such as "=C:" begin with the "=".
        std::wstring name = entry.substr(0, entry.find(L'=', 1));
        for (wchar_t& c : name) c = static_cast<wchar_t>(towupper(c));
        return name;
    };
    std::set<std::wstring> changed;
    for (const std::wstring& entry : changes) changed.insert(nameOf(entry));
    std::wstring block;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (changed.count(nameOf(entry)) == 0) block.append(entry).push_back(L'\0');
    }
    if (strings != nullptr) FreeEnvironmentStringsW(strings);
    for (const std::wstring& entry : changes) block.append(entry).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

}  // namespace

Program::Program(const std::wstring& argumentText, bool watchStart) : Program(argumentText, Launch{}, watchStart) {}

Program::Program(const std::wstring& argumentText, const Launch& launch, bool watchStart) {
    const std::wstring& exe = launch.exe.empty() ? g_options.exe : launch.exe;
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!argumentText.empty()) commandLine += L" " + argumentText;
    std::wstring environment;
    if (!launch.environment.empty()) environment = EnvironmentBlock(launch.environment);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        (watchStart ? CREATE_SUSPENDED : 0) | CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(), nullptr, &startup, &process_)) {
        throw Abort(Format("cannot start %s (error %lu)", Utf8(exe).c_str(), GetLastError()));
    }
    TrackChild(process_.hProcess);
    if (watchStart) {
        WatchStart();
        ResumeThread(process_.hThread);
    }

    ULONGLONG deadline = GetTickCount64() + Millis(30);
    HWND form = nullptr;
    while (form == nullptr) {
        form = FindVisibleWindow(process_.dwProcessId, L"OstradaForm");
        if (form != nullptr) break;
        if (auto code = WaitForExit(0)) {
            throw Abort(Format("the program ended before showing its form (exit code 0x%lX)", *code));
        }
        if (GetTickCount64() > deadline) {
            throw Abort(Format("no visible OstradaForm window within %.0f s", 30 * g_options.slow));
        }
        Sleep(50);
    }
    form_ = form;
    // Start-up has finished once the thread waits for input in its loop.
    WaitForInputIdle(process_.hProcess, Millis(30));
    Sync(30);
}

Program::~Program() {
    if (hook_ != nullptr) UnhookWindowsHookEx(hook_);
    if (startHook_ != nullptr) UnhookWindowsHookEx(startHook_);
    if (startLog_ != nullptr) UnmapViewOfFile(startLog_);
    if (startMapping_ != nullptr) CloseHandle(startMapping_);
    if (Running()) {
        TerminateProcess(process_.hProcess, 99);
        WaitForSingleObject(process_.hProcess, 5000);
    }
    UntrackChild(process_.hProcess);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

HWND Program::Control(int id) const {
    if (id == kIdTitleLabel) {
        HWND strip = GetDlgItem(form_, kIdTitleStrip);
        return strip != nullptr ? GetDlgItem(strip, kIdTitleLabel) : nullptr;
    }
    return GetDlgItem(form_, id);
}

bool Program::Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

std::optional<DWORD> Program::WaitForExit(double seconds) {
    if (WaitForSingleObject(process_.hProcess, Millis(seconds)) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

void Program::Sync(double seconds) { Send(form_, WM_NULL, 0, 0, seconds); }

std::wstring Program::BoxText() const { return TextOf(Control(kIdTextBox)); }

void Program::SetBoxText(const std::wstring& text) {
    Send(Control(kIdTextBox), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Program::ClickGo(double seconds) { Send(Control(kIdGo), BM_CLICK, 0, 0, seconds); }

namespace {

// Hooks a thread of the program with a procedure of the hook DLL, which Wine
// then loads into the program.
HHOOK HookThread(int kind, const char* procedure, DWORD thread) {
    static HMODULE module = LoadLibraryW((DriverDirectory() + L"ostrada_e2e_hook.dll").c_str());
    if (module == nullptr) throw Abort(Format("cannot load ostrada_e2e_hook.dll (error %lu)", GetLastError()));
    auto proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module, procedure)));
    if (proc == nullptr) throw Abort(Format("ostrada_e2e_hook.dll has no %s", procedure));
    HHOOK hook = SetWindowsHookExW(kind, proc, module, thread);
    if (hook == nullptr) throw Abort(Format("SetWindowsHookEx(%d) failed (error %lu)", kind, GetLastError()));
    return hook;
}

}  // namespace

void Program::InstallHook() {
    if (hook_ == nullptr) {
        hook_ = HookThread(WH_GETMESSAGE, "OstradaE2EGetMsgProc", GetWindowThreadProcessId(form_, nullptr));
    }
}

void Program::WatchStart() {
    startMapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(StartLog),
                                       StartMappingName(process_.dwProcessId).c_str());
    if (startMapping_ == nullptr) throw Abort("cannot create the start log mapping");
    startLog_ = static_cast<const StartLog*>(MapViewOfFile(startMapping_, FILE_MAP_READ, 0, 0, sizeof(StartLog)));
    if (startLog_ == nullptr) throw Abort("cannot map the start log");
    startHook_ = HookThread(WH_CBT, "OstradaE2ECbtProc", process_.dwThreadId);
}

std::vector<MinMaxRecord> Program::MinMaxLog() const {
    if (startLog_ == nullptr) return {};
    MemoryBarrier();
    LONG written = startLog_->count;
    LONG count = std::min<LONG>(written, kMinMaxRecords);
    return std::vector<MinMaxRecord>(startLog_->records, startLog_->records + count);
}

void Program::Ask(Query query, std::vector<char>& data, double seconds) {
    Ask(query, nullptr, 0, data, seconds);
}

void Program::Ask(Query query, const void* input, std::size_t inputBytes, std::vector<char>& data,
                  double seconds) {
    if (inputBytes > kDataBytes) throw Abort("the input for the hook does not fit the shared memory");
    static const UINT queryMessage = RegisterWindowMessageW(kQueryMessage);
    static HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                               sizeof(Header) + kDataBytes,
                                               MappingName(GetCurrentProcessId()).c_str());
    static HANDLE done = CreateEventW(nullptr, FALSE, FALSE, DoneEventName(GetCurrentProcessId()).c_str());
    static void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
    if (view == nullptr || done == nullptr) throw Abort("cannot create the shared memory for the hook");
    InstallHook();

    auto* header = static_cast<Header*>(view);
    std::memset(header, 0, sizeof *header);
    if (inputBytes > 0) {
        std::memcpy(header + 1, input, inputBytes);
        header->dataBytes = inputBytes;
    }
    ResetEvent(done);
    Post(form_, queryMessage, static_cast<WPARAM>(query), static_cast<LPARAM>(GetCurrentProcessId()));
    HANDLE waits[2] = {done, process_.hProcess};
    DWORD woke = WaitForMultipleObjects(2, waits, FALSE, Millis(seconds));
    if (woke == WAIT_OBJECT_0 + 1) throw Abort("the program ended while the hook was asked");
    if (woke != WAIT_OBJECT_0) {
        throw Abort(Format("the hook did not answer query %u within %.0f s", static_cast<unsigned>(query),
                           seconds * g_options.slow));
    }
    MemoryBarrier();
    if (header->magic != kMagic || header->query != static_cast<std::uint32_t>(query)) {
        throw Abort("the hook's answer is garbled");
    }
    if (header->status != static_cast<std::uint32_t>(Status::Ok)) {
        throw Abort(Format("the hook could not answer query %u (status %u)", static_cast<unsigned>(query),
                           header->status));
    }
    const char* bytes = reinterpret_cast<const char*>(header + 1);
    data.assign(bytes, bytes + header->dataBytes);
}

std::wstring Program::AskText(double seconds) {
    std::vector<char> data;
    Ask(Query::Text, data, seconds);
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
}

namespace {
std::unique_ptr<Program> g_shared;
}

Program& SharedProgram() {
    if (g_shared == nullptr || !g_shared->Running()) {
        g_shared.reset();
        g_shared = std::make_unique<Program>(L"");
    }
    return *g_shared;
}

void EndSharedProgram() { g_shared.reset(); }

// ================================================================ clipboard, screen

void PutOnClipboard(const std::wstring& text) {
    std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory == nullptr) throw Abort("GlobalAlloc for the clipboard failed");
    std::memcpy(GlobalLock(memory), text.c_str(), bytes);
    GlobalUnlock(memory);
    bool opened = false;
    for (int attempt = 0; attempt < 50 && !opened; ++attempt) {
        opened = OpenClipboard(nullptr);
        if (!opened) Sleep(100);
    }
    if (!opened) {
        GlobalFree(memory);
        throw Abort(Format("cannot open the clipboard (error %lu)", GetLastError()));
    }
    EmptyClipboard();
    bool set = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    CloseClipboard();
    if (!set) {
        GlobalFree(memory);
        throw Abort("SetClipboardData failed");
    }
}

Capture CaptureScreen(const RECT& area) {
    Capture capture;
    capture.width = area.right - area.left;
    capture.height = area.bottom - area.top;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = capture.width;
    info.bmiHeader.biHeight = -capture.height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr) {
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
        throw Abort("cannot create a bitmap for the screen capture");
    }
    HGDIOBJ old = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, capture.width, capture.height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    capture.pixels.resize(static_cast<std::size_t>(capture.width) * capture.height);
    const auto* quads = static_cast<const RGBQUAD*>(bits);
    for (std::size_t i = 0; i < capture.pixels.size(); ++i) {
        capture.pixels[i] = RGB(quads[i].rgbRed, quads[i].rgbGreen, quads[i].rgbBlue);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!copied) throw Abort("BitBlt from the screen failed");
    return capture;
}

}  // namespace ostrada_e2e
