// The end-to-end driver's tools: a small test runner, the program under test
// as a process with its windows, and ways to act on it the way a user's
// actions arrive (window messages, the clipboard) or to ask it from inside
// (the hook DLL).
#pragma once

#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hook_protocol.h"

namespace ostrada_e2e {

// ---------------------------------------------------------------- output

std::string Utf8(const std::wstring& text);
// Text shown with its control characters and non-ASCII code units escaped,
// cut to about `limit` characters.
std::string Visible(const std::wstring& text, std::size_t limit = 120);
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void Print(const std::string& line);  // one line to stdout, flushed

// ---------------------------------------------------------------- runner

struct Options {
    std::wstring exe;           // the program under test
    std::string suite = "full"; // "full" or "smoke"
    std::vector<std::string> only;
    double slow = 1.0;          // every time limit is multiplied by this
    int watchdogSeconds = 900;  // the whole run
    bool list = false;
};
const Options& TheOptions();
// Sets the options for a driver that does not run tests (RunTests sets them
// otherwise).
void UseOptions(const Options& options);

// A time limit, scaled for slow (emulated) runs.
DWORD Millis(double seconds);

// Ends the current test at once as failed.
struct Abort : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class TestContext {
public:
    explicit TestContext(std::string name) : name_(std::move(name)) {}
    // Records a failure and goes on.
    bool Check(bool ok, const std::string& what);
    // Records a failure and ends the test.
    void Require(bool ok, const std::string& what);
    void Note(const std::string& what) { notes_.push_back(what); }
    bool Failed() const { return !failures_.empty(); }
    const std::vector<std::string>& Failures() const { return failures_; }
    const std::vector<std::string>& Notes() const { return notes_; }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    std::vector<std::string> failures_;
    std::vector<std::string> notes_;
};

// Checks equality of two texts and describes the first difference.
bool CheckText(TestContext& t, const std::wstring& got, const std::wstring& want,
               const std::string& what);

struct TestCase {
    std::string name;
    std::vector<std::string> suites;
    std::function<void(TestContext&)> run;
};
// Adds a test; called from static registrars in the test files.
bool Register(TestCase test);
int RunTests(const Options& options);

// ---------------------------------------------------------------- program

inline constexpr int kIdTitleStrip = 1;
inline constexpr int kIdTitleLabel = 2;
inline constexpr int kIdTextBox = 3;
inline constexpr int kIdGo = 4;
inline constexpr int kIdExit = 5;

std::wstring ClassOf(HWND window);
// A visible top-level window of the given class in the given process, or null.
HWND FindVisibleWindow(DWORD pid, const wchar_t* className);
std::wstring TextOf(HWND window);  // WM_GETTEXT, across processes
RECT RectInParent(HWND child);     // window rectangle in the parent's client coordinates
LONG_PTR Style(HWND window);
LONG_PTR ExStyle(HWND window);

// Sends a message with a time limit; fails the test when it is not handled
// in time (the program hangs or died).
LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, double seconds = 10);
void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// How a Program is started when not as the driver's --exe in the driver's
// environment.
struct Launch {
    std::wstring exe;                       // empty: the driver's --exe
    std::vector<std::wstring> environment;  // "NAME=value", replacing or adding to the driver's
};

// One running ostrada.exe.
class Program {
public:
    // Starts the program with the argument text and waits until its form is
    // shown and it is waiting for input. Throws Abort when it does not come up.
    // With watchStart, the hook DLL records from the first instruction on
    // how the form was each time it was minimised or maximised (MinMaxLog).
    explicit Program(const std::wstring& argumentText, bool watchStart = false);
    Program(const std::wstring& argumentText, const Launch& launch, bool watchStart = false);
    ~Program();  // ends the process if it still runs
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    HWND Form() const { return form_; }
    HWND Owner() const { return GetWindow(form_, GW_OWNER); }
    HWND Control(int id) const;  // id 2, the label, is looked up in the strip
    DWORD Pid() const { return process_.dwProcessId; }
    HANDLE Process() const { return process_.hProcess; }
    bool Running() const;
    // Waits for the process to end; its exit code, or nothing on time-out.
    std::optional<DWORD> WaitForExit(double seconds);
    // Round trip through the GUI thread's message queue.
    void Sync(double seconds = 10);

    // Text box helpers, by window messages.
    std::wstring BoxText() const;
    void SetBoxText(const std::wstring& text);
    void ClickGo(double seconds = 10);  // BM_CLICK, returns when Go has run

    // Asks the program's GUI thread through the hook DLL; `data` gets the
    // answer's bytes. Fails the test when the hook does not answer.
    void Ask(Query query, std::vector<char>& data, double seconds = 20);
    // The same, handing the hook `inputBytes` bytes of input (at most
    // kDataBytes) in the shared memory.
    void Ask(Query query, const void* input, std::size_t inputBytes, std::vector<char>& data,
             double seconds = 20);
    template <typename Answer>
    Answer Ask(Query query, double seconds = 20) {
        std::vector<char> data;
        Ask(query, data, seconds);
        if (data.size() < sizeof(Answer)) throw Abort("hook answer too short");
        Answer answer;
        std::memcpy(&answer, data.data(), sizeof answer);
        return answer;
    }
    std::wstring AskText(double seconds = 60);

    std::vector<MinMaxRecord> MinMaxLog() const;

private:
    void InstallHook();
    void WatchStart();

    PROCESS_INFORMATION process_{};
    HWND form_ = nullptr;
    HHOOK hook_ = nullptr;
    HHOOK startHook_ = nullptr;
    HANDLE startMapping_ = nullptr;
    const StartLog* startLog_ = nullptr;
};

// The program instance that tests which only look or press Go share; started
// on first use and again when an earlier test has ended it.
Program& SharedProgram();
void EndSharedProgram();

// ---------------------------------------------------------------- clipboard, screen

// Puts UTF-16 text on the clipboard as CF_UNICODETEXT.
void PutOnClipboard(const std::wstring& text);

// The screen's pixels in a rectangle (screen coordinates), as COLORREFs row by row.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<COLORREF> pixels;
    COLORREF At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};
Capture CaptureScreen(const RECT& area);

}  // namespace ostrada_e2e
