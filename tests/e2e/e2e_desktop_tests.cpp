// The program on the desktop: laid out at the display's density, Go that
// can be undone, and everything within reach of the keyboard. Keys arrive
// as synthetic input (SendInput) at the program's window, which is brought
// to the foreground first, the way a user's key presses arrive.
//
// Settings (environment):
//   OSTRADA_E2E_DPI         the density the display is set to for this run
//                           (default 96); "density" checks the program's
//                           layout and fonts against it
//   OSTRADA_E2E_SCREENSHOT  a PNG file for "density" to save the program's
//                           window to, as the screen shows it
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace ostrada_e2e {
namespace {

// ================================================================ helpers

std::string Rect(const RECT& r) {
    return Format("(%ld, %ld, %ld x %ld)", r.left, r.top, r.right - r.left, r.bottom - r.top);
}

std::wstring Environment(const wchar_t* name) {
    wchar_t value[1024];
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

// Polls until `done` holds or the time is up; whether it held.
bool WaitUntil(const std::function<bool()>& done, double seconds = 10) {
    const ULONGLONG deadline = GetTickCount64() + Millis(seconds);
    while (!done()) {
        if (GetTickCount64() > deadline) return false;
        Sleep(20);
    }
    return true;
}

// The window with the keyboard focus on the program's GUI thread.
HWND FocusOf(const Program& p) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(p.Form(), nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

const char* ControlName(int id) {
    switch (id) {
    case kIdTitleStrip: return "picTitle";
    case kIdTitleLabel: return "lblTitle";
    case kIdTextBox: return "txtResults";
    case kIdGo: return "cmdGo";
    case kIdExit: return "cmdExit";
    default: return "no control";
    }
}

std::string FocusName(const Program& p, HWND focus) {
    for (int id : {kIdTextBox, kIdGo, kIdExit, kIdTitleStrip, kIdTitleLabel}) {
        if (focus != nullptr && focus == p.Control(id)) return ControlName(id);
    }
    return focus == nullptr ? "nothing" : Format("window %p", static_cast<void*>(focus));
}

// ---------------------------------------------------------------- synthetic keys

struct Chord {
    WORD key;
    bool ctrl = false;
    bool shift = false;
    bool alt = false;
};

INPUT KeyInput(WORD key, WORD scan, DWORD flags) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.wScan = scan;
    input.ki.dwFlags = flags;
    return input;
}

void SendInputs(std::vector<INPUT> inputs) {
    const UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (sent != inputs.size()) {
        throw Abort(Format("SendInput took %u of %zu events (error %lu)", sent, inputs.size(), GetLastError()));
    }
}

// Presses a key with its modifiers held, then lets everything go.
void Press(const Chord& chord) {
    std::vector<INPUT> inputs;
    auto both = [&](WORD key) {
        const auto scan = static_cast<WORD>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
        inputs.push_back(KeyInput(key, scan, 0));
        return KeyInput(key, scan, KEYEVENTF_KEYUP);
    };
    std::vector<INPUT> releases;
    if (chord.ctrl) releases.push_back(both(VK_CONTROL));
    if (chord.shift) releases.push_back(both(VK_SHIFT));
    if (chord.alt) releases.push_back(both(VK_MENU));
    releases.push_back(both(chord.key));
    inputs.insert(inputs.end(), releases.rbegin(), releases.rend());
    SendInputs(inputs);
}

// Types text as characters, whatever the keyboard layout.
void Type(const std::wstring& text) {
    std::vector<INPUT> inputs;
    for (wchar_t c : text) {
        inputs.push_back(KeyInput(0, c, KEYEVENTF_UNICODE));
        inputs.push_back(KeyInput(0, c, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP));
    }
    SendInputs(inputs);
}

// Brings the form to the foreground so that keys go to it, and waits until
// its focus is on a control.
void ToForeground(Program& p) {
    SetForegroundWindow(p.Form());
    const bool ready = WaitUntil([&] {
        HWND focus = FocusOf(p);
        return GetForegroundWindow() == p.Form() && focus != nullptr && IsChild(p.Form(), focus);
    });
    if (!ready) {
        throw Abort("the form did not come to the foreground with the focus on a control (focus on " +
                    FocusName(p, FocusOf(p)) + ")");
    }
}

// Moves the focus to a control the way the form's own Tab handling does.
void FocusControl(Program& p, int id) {
    Post(p.Form(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(p.Control(id)), TRUE);
    if (!WaitUntil([&] { return FocusOf(p) == p.Control(id); })) {
        throw Abort(Format("the focus did not move to %s", ControlName(id)));
    }
}

// ================================================================ density

// The display's density for this run, as the test script set it up.
int ExpectedDpi() {
    const std::wstring value = Environment(L"OSTRADA_E2E_DPI");
    return value.empty() ? USER_DEFAULT_SCREEN_DPI : static_cast<int>(std::wcstol(value.c_str(), nullptr, 10));
}

// Window rectangles, system metrics and the screen's pixels as they really
// are, not scaled for a program that knows nothing of densities.
class PhysicalPixels {
public:
    PhysicalPixels() : previous_(SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE)) {}
    ~PhysicalPixels() {
        if (previous_ != nullptr) SetThreadDpiAwarenessContext(previous_);
    }
    PhysicalPixels(const PhysicalPixels&) = delete;
    PhysicalPixels& operator=(const PhysicalPixels&) = delete;
    bool Active() const { return previous_ != nullptr; }

private:
    DPI_AWARENESS_CONTEXT previous_;
};

struct Twips {
    int left, top, width, height;
};

struct DensityControl {
    int id;
    Twips rect;  // in the parent's client area
};

// The form's design, in twips.
constexpr int kClientWidth = 7125;
constexpr int kClientHeight = 7110;
const DensityControl kDesign[] = {
    {kIdTitleStrip, {240, 240, 6645, 375}},
    {kIdTitleLabel, {120, 0, 5835, 240}},
    {kIdTextBox, {240, 840, 6615, 5535}},
    {kIdGo, {240, 6480, 1695, 495}},
    {kIdExit, {5160, 6480, 1695, 495}},
};

// Twips at a density, as exact pixels (not rounded).
double At(int twips, int dpi) { return twips * static_cast<double>(dpi) / 1440.0; }

// Whether `got` is `twips` converted at `dpi`, to within `slack` pixels.
bool Near(long got, int twips, int dpi, double slack) {
    return std::fabs(static_cast<double>(got) - At(twips, dpi)) <= slack + 1e-9;
}

struct DensityFont {
    int id;
    double points;
};
const DensityFont kFonts[] = {{kIdTitleLabel, 11.25}, {kIdTextBox, 8.25}, {kIdGo, 8.25}, {kIdExit, 8.25}};

// Checks the form's client area, each control's rectangle and each
// control's font against the design at `dpi`. Positions may be off by up to
// a pixel where the twips do not make whole pixels (none at 96 dpi).
void CheckLayoutAt(TestContext& t, Program& p, int dpi, const std::string& where) {
    const double slack = dpi == USER_DEFAULT_SCREEN_DPI ? 0.0 : 1.0;
    RECT client{};
    GetClientRect(p.Form(), &client);
    t.Check(Near(client.right, kClientWidth, dpi, slack) && Near(client.bottom, kClientHeight, dpi, slack),
            Format("%s: client area %ld x %ld, expected %.2f x %.2f", where.c_str(), client.right, client.bottom,
                   At(kClientWidth, dpi), At(kClientHeight, dpi)));

    for (const DensityControl& c : kDesign) {
        HWND window = p.Control(c.id);
        if (!t.Check(window != nullptr, Format("%s: %s missing", where.c_str(), ControlName(c.id)))) continue;
        const RECT r = RectInParent(window);
        const bool ok = Near(r.left, c.rect.left, dpi, slack) && Near(r.top, c.rect.top, dpi, slack) &&
                        Near(r.right, c.rect.left + c.rect.width, dpi, slack) &&
                        Near(r.bottom, c.rect.top + c.rect.height, dpi, slack);
        t.Check(ok, Format("%s: %s at %s, expected (%.2f, %.2f, %.2f x %.2f)", where.c_str(), ControlName(c.id),
                           Rect(r).c_str(), At(c.rect.left, dpi), At(c.rect.top, dpi), At(c.rect.width, dpi),
                           At(c.rect.height, dpi)));
    }

    const auto fonts = p.Ask<FontAnswer>(Query::Fonts);
    for (const DensityFont& f : kFonts) {
        const FontRecord& r = fonts.slot[f.id];
        if (!t.Check(r.hasFont && r.objectOk, Format("%s: %s has no font", where.c_str(), ControlName(f.id)))) {
            continue;
        }
        // A negative height is the character height in pixels: the size in
        // points at `dpi`, to within rounding.
        const double want = f.points * dpi / 72.0;
        t.Check(r.font.lfHeight < 0 && std::fabs(-r.font.lfHeight - want) <= 0.5 + 1e-9,
                Format("%s: %s font %s height %ld, expected -%.2f rounded", where.c_str(), ControlName(f.id),
                       Utf8(r.font.lfFaceName).c_str(), r.font.lfHeight, want));
    }
}

// ---------------------------------------------------------------- PNG

std::uint32_t Crc32(const unsigned char* bytes, std::size_t length, std::uint32_t crc = 0) {
    static const std::vector<std::uint32_t> table = [] {
        std::vector<std::uint32_t> t(256);
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void PutBig32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

void PutChunk(std::vector<unsigned char>& out, const char* type, const std::vector<unsigned char>& data) {
    PutBig32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutBig32(out, Crc32(out.data() + start, out.size() - start));
}

// An RGB PNG of the capture, its image data deflated as stored blocks.
std::vector<unsigned char> Png(const Capture& shot) {
    std::vector<unsigned char> raw;
    raw.reserve(static_cast<std::size_t>(shot.height) * (1 + 3 * shot.width));
    for (int y = 0; y < shot.height; ++y) {
        raw.push_back(0);  // no filter
        for (int x = 0; x < shot.width; ++x) {
            const COLORREF c = shot.At(x, y);
            raw.insert(raw.end(), {GetRValue(c), GetGValue(c), GetBValue(c)});
        }
    }
    std::vector<unsigned char> zlib{0x78, 0x01};
    std::uint32_t a = 1, b = 0;
    for (unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t at = 0; at < raw.size(); at += 65535) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        zlib.push_back(at + n >= raw.size() ? 1 : 0);
        zlib.insert(zlib.end(), {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                                 static_cast<unsigned char>(~n), static_cast<unsigned char>(~n >> 8)});
        zlib.insert(zlib.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                    raw.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    PutBig32(zlib, (b << 16) | a);

    std::vector<unsigned char> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<unsigned char> header;
    PutBig32(header, static_cast<std::uint32_t>(shot.width));
    PutBig32(header, static_cast<std::uint32_t>(shot.height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, no interlace
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", zlib);
    PutChunk(png, "IEND", {});
    return png;
}

void SaveScreenshot(TestContext& t, Program& p, const std::wstring& path) {
    // Text in the box shows its font at this density too.
    p.SetBoxText(L"Ostrada joins the lines of a text:\r\nevery line break becomes one space.\r\n"
                 L"\u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD");
    // Let the window finish painting and Wine copy it to the screen.
    RedrawWindow(p.Form(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    p.Sync();
    Sleep(Millis(0.5));
    RECT frame{};
    GetWindowRect(p.Form(), &frame);
    const std::vector<unsigned char> png = Png(CaptureScreen(frame));
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (!t.Check(file != nullptr, "cannot write the screenshot " + Utf8(path))) return;
    const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
    t.Check(std::fclose(file) == 0 && written, "cannot write the screenshot " + Utf8(path));
    t.Note(Format("screenshot of the window at %s saved to %s", Rect(frame).c_str(), Utf8(path).c_str()));
    p.SetBoxText(L"");
}

void Density(TestContext& t) {
    const int dpi = ExpectedDpi();
    t.Require(dpi >= 48 && dpi <= 480, Format("OSTRADA_E2E_DPI gives %d dpi", dpi));
    PhysicalPixels physical;
    t.Require(physical.Active(), "this driver thread cannot be made aware of densities");
    Program& p = SharedProgram();

    HDC screen = GetDC(nullptr);
    const int display = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    t.Require(display == dpi, Format("the display is at %d dpi, but this run is for %d", display, dpi));

    // The system must leave the scaling to the program, as its manifest
    // asks, and not stretch a 96-dpi window. (Wine 8 treats every program
    // so, manifest or not; Windows does not.)
    const DPI_AWARENESS awareness = GetAwarenessFromDpiAwarenessContext(GetWindowDpiAwarenessContext(p.Form()));
    t.Check(awareness == DPI_AWARENESS_PER_MONITOR_AWARE,
            Format("the form is %s", awareness == DPI_AWARENESS_UNAWARE         ? "unaware of densities"
                                     : awareness == DPI_AWARENESS_SYSTEM_AWARE ? "aware of the system density only"
                                                                               : "of unknown awareness"));
    const UINT windowDpi = GetDpiForWindow(p.Form());
    t.Check(static_cast<int>(windowDpi) == dpi, Format("the form is at %u dpi", windowDpi));

    CheckLayoutAt(t, p, dpi, Format("at %d dpi", dpi));

    const std::wstring shot = Environment(L"OSTRADA_E2E_SCREENSHOT");
    if (!shot.empty()) SaveScreenshot(t, p, shot);
}

// ================================================================ undo

enum class Entry { SetText, Paste, Typing };
enum class GoBy { Click, Keys };
enum class UndoBy { CtrlZ, WmUndo, EmUndo };

struct UndoCase {
    const char* name;
    Entry entry;
    std::wstring text;
    int selectFrom;  // -2: no selection made
    int selectTo;
    GoBy go;
    UndoBy undo;
};

void UndoGo(TestContext& t) {
    const std::vector<UndoCase> cases = {
        {"set, Go clicked, WM_UNDO", Entry::SetText, L"one\r\ntwo\r\n\r\nthree\r\n", -2, -2, GoBy::Click,
         UndoBy::WmUndo},
        {"pasted, part selected, EM_UNDO", Entry::Paste, L"a\r\nb\nc\rd\r\n\u05E9\r\n\U0001F600", 3, 7, GoBy::Click,
         UndoBy::EmUndo},
        {"pasted, all selected, Ctrl+Z", Entry::Paste, L"\r\nfirst\r\nsecond\r\n", 0, -1, GoBy::Keys, UndoBy::CtrlZ},
        {"typed, Go by Space, Ctrl+Z", Entry::Typing, L"typed\r\nby\r\nhand", -2, -2, GoBy::Keys, UndoBy::CtrlZ},
        {"set, caret at the end, Ctrl+Z", Entry::SetText, L"x\r\ny", -1, -1, GoBy::Click, UndoBy::CtrlZ},
    };
    Program p(L"");
    HWND box = p.Control(kIdTextBox);
    ToForeground(p);
    for (const UndoCase& c : cases) {
        const std::string name = Format("[%s]", c.name);
        // Start from an empty box with nothing to undo.
        p.SetBoxText(L"");
        Send(box, EM_EMPTYUNDOBUFFER, 0, 0);
        FocusControl(p, kIdTextBox);
        switch (c.entry) {
        case Entry::SetText:
            p.SetBoxText(c.text);
            break;
        case Entry::Paste:
            PutOnClipboard(c.text);
            Send(box, WM_PASTE, 0, 0);
            break;
        case Entry::Typing:
            for (std::size_t at = 0; at < c.text.size();) {
                const std::size_t line = c.text.find(L"\r\n", at);
                Type(c.text.substr(at, line == std::wstring::npos ? std::wstring::npos : line - at));
                if (line == std::wstring::npos) break;
                Press({VK_RETURN});
                at = line + 2;
            }
            break;
        }
        if (!WaitUntil([&] { return p.BoxText() == c.text; })) {
            CheckText(t, p.BoxText(), c.text, name + " text box before Go");
            continue;
        }
        if (c.selectFrom != -2) Send(box, EM_SETSEL, c.selectFrom, c.selectTo);

        std::wstring joined = c.text;
        for (std::size_t at; (at = joined.find(L"\r\n")) != std::wstring::npos;) joined.replace(at, 2, L" ");
        if (c.go == GoBy::Click) {
            p.ClickGo();
        } else {
            Press({VK_TAB});
            if (!t.Check(WaitUntil([&] { return FocusOf(p) == p.Control(kIdGo); }), name + " Tab did not reach Go")) {
                continue;
            }
            Press({VK_SPACE});
        }
        if (!WaitUntil([&] { return p.BoxText() == joined; })) {
            CheckText(t, p.BoxText(), joined, name + " after Go");
            continue;
        }
        t.Check(Send(box, EM_CANUNDO, 0, 0) != 0, name + " the box says there is nothing to undo after Go");

        switch (c.undo) {
        case UndoBy::CtrlZ:
            // The user goes back into the box first.
            FocusControl(p, kIdTextBox);
            Press({'Z', true});
            break;
        case UndoBy::WmUndo:
            Send(box, WM_UNDO, 0, 0);
            break;
        case UndoBy::EmUndo:
            Send(box, EM_UNDO, 0, 0);
            break;
        }
        if (!WaitUntil([&] { return p.BoxText() == c.text; })) CheckText(t, p.BoxText(), c.text, name + " after undo");
    }
}

// ================================================================ keyboard

struct KeyStep {
    const char* name;
    std::function<void()> act;
    int focus;             // the control that must have the focus afterwards
    const wchar_t* text;   // the box's whole text afterwards; nullptr: as before
};

void Keyboard(TestContext& t) {
    Program p(L"");
    p.SetBoxText(L"old\r\ntext");
    ToForeground(p);
    t.Require(FocusOf(p) == p.Control(kIdTextBox),
              "the focus starts on " + FocusName(p, FocusOf(p)) + ", not on the text box");

    const Chord tab{VK_TAB};
    const Chord backTab{VK_TAB, false, true};
    const KeyStep steps[] = {
        {"Ctrl+A, then typing replaces the whole text", [] { Press({'A', true}); Type(L"new"); }, kIdTextBox,
         L"new"},
        {"Enter in the box starts a new line", [] { Press({VK_RETURN}); Type(L"line"); }, kIdTextBox,
         L"new\r\nline"},
        {"Tab from the box", [&] { Press(tab); }, kIdGo, nullptr},
        {"Tab from Go", [&] { Press(tab); }, kIdExit, nullptr},
        {"Tab from Exit", [&] { Press(tab); }, kIdTextBox, nullptr},
        {"Shift+Tab from the box", [&] { Press(backTab); }, kIdExit, nullptr},
        {"Shift+Tab from Exit", [&] { Press(backTab); }, kIdGo, nullptr},
        {"Shift+Tab from Go", [&] { Press(backTab); }, kIdTextBox, nullptr},
        {"Tab, then Space on Go presses it", [&] { Press(tab); Press({VK_SPACE}); }, kIdGo, L"new line"},
        {"Shift+Tab, Ctrl+A, typing two lines",
         [&] {
             Press(backTab);
             Press({'A', true});
             Type(L"a");
             Press({VK_RETURN});
             Type(L"b");
         },
         kIdTextBox, L"a\r\nb"},
        {"Tab, then Enter on Go presses it", [&] { Press(tab); Press({VK_RETURN}); }, kIdGo, L"a b"},
    };
    std::wstring text = p.BoxText();
    for (const KeyStep& step : steps) {
        const std::string name = Format("[%s]", step.name);
        const std::wstring want = step.text != nullptr ? step.text : text;
        step.act();
        HWND target = p.Control(step.focus);
        const bool arrived = WaitUntil([&] { return FocusOf(p) == target && p.BoxText() == want; });
        if (!arrived) {
            t.Check(FocusOf(p) == target, name + " the focus is on " + FocusName(p, FocusOf(p)) + ", expected " +
                                              ControlName(step.focus));
            CheckText(t, p.BoxText(), want, name + " text box");
            return;  // the later steps start from where this one should have left
        }
        text = want;
    }

    Press({VK_F4, false, false, true});
    const auto code = p.WaitForExit(30);
    t.Require(code.has_value(), "the program still runs 30 s after Alt+F4");
    t.Check(*code == 0, Format("exit code 0x%lX after Alt+F4", *code));
}

const bool kRegistered = [] {
    const std::vector<std::string> full{"full"};
    Register({"density", full, Density});
    Register({"undo", full, UndoGo});
    Register({"keyboard", full, Keyboard});
    return true;
}();

}  // namespace
}  // namespace ostrada_e2e
