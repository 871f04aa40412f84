// The end-to-end tests. Each is registered with the suites it belongs to:
// "full" runs on the x64 build with the hook DLL; "smoke" is the short run
// for the emulated 32-bit build and uses plain window messages only.
#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "e2e_support.h"

namespace ostrada_e2e {
namespace {

constexpr wchar_t kProductName[] = L"Ostrada";
constexpr wchar_t kApplicationTitle[] = L"Ostrada 1.0";
constexpr COLORREF kTitleGreen = RGB(0x00, 0x80, 0x40);

std::string Rect(const RECT& r) {
    return Format("(%ld, %ld, %ld x %ld)", r.left, r.top, r.right - r.left, r.bottom - r.top);
}

bool SameFace(const wchar_t* face, const wchar_t* want) { return _wcsicmp(face, want) == 0; }

// Whether the centre of `r` is the centre of one of the areas, to a pixel.
bool Centred(const RECT& r, const std::vector<RECT>& areas) {
    for (const RECT& a : areas) {
        if (a.right <= a.left) continue;
        long dx = (r.left + r.right) - (a.left + a.right);
        long dy = (r.top + r.bottom) - (a.top + a.bottom);
        if (dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2) return true;
    }
    return false;
}

// ================================================================ the form and its owner

void FormAndOwner(TestContext& t) {
    // A fresh start: other tests may have left text in the shared program.
    EndSharedProgram();
    Program& p = SharedProgram();
    HWND form = p.Form();
    t.Check(TextOf(form) == kProductName, "form caption is " + Visible(TextOf(form)));
    t.Check(!IsIconic(form) && !IsZoomed(form), "form is not in the normal state");

    HWND owner = p.Owner();
    t.Require(owner != nullptr, "the form has no owner window");
    t.Check(ClassOf(owner) == L"OstradaApplication", "owner class is " + Utf8(ClassOf(owner)));
    t.Check(TextOf(owner) == kApplicationTitle, "owner caption is " + Visible(TextOf(owner)));
    t.Check(!IsWindowVisible(owner), "the owner window is visible");
    t.Check(GetAncestor(owner, GA_PARENT) == GetDesktopWindow(), "the owner is not a top-level window");
    DWORD ownerPid = 0;
    GetWindowThreadProcessId(owner, &ownerPid);
    t.Check(ownerPid == p.Pid(), "the owner belongs to another process");

    // No task bar button: owned, not WS_EX_APPWINDOW, and the owner hidden.
    t.Check((ExStyle(form) & WS_EX_APPWINDOW) == 0, "form has WS_EX_APPWINDOW");
    t.Check(p.BoxText().empty(), "the text box is not empty at start: " + Visible(p.BoxText()));
}

// ================================================================ title strip

// What is wrong with the strip's pixels on screen; empty when nothing is.
std::vector<std::string> StripPixelProblems(HWND strip, HWND label) {
    RECT area{};
    GetWindowRect(strip, &area);
    Capture shot = CaptureScreen(area);
    RECT labelArea = RectInParent(label);
    auto countIn = [&](int left, int top, int right, int bottom, auto predicate) {
        int n = 0;
        for (int y = top; y < bottom && y < shot.height; ++y)
            for (int x = left; x < right && x < shot.width; ++x) n += predicate(shot.At(x, y)) ? 1 : 0;
        return n;
    };
    auto green = [](COLORREF c) { return c == kTitleGreen; };
    auto white = [](COLORREF c) { return GetRValue(c) >= 0xF0 && GetGValue(c) >= 0xF0 && GetBValue(c) >= 0xF0; };
    std::vector<std::string> problems;

    // Right of the label: the strip's own background.
    int left = labelArea.right + 2;
    int background = (shot.width - 2 - left) * (shot.height - 4);
    int greenRight = countIn(left, 2, shot.width - 2, shot.height - 2, green);
    if (background <= 0 || greenRight != background) {
        problems.push_back(Format("strip background right of the label: %d of %d pixels are RGB(0,128,64); "
                                  "pixel (%d,%d) is 0x%06lX",
                                  greenRight, background, shot.width - 4, shot.height / 2,
                                  shot.At(shot.width - 4, shot.height / 2)));
    }
    // The label's right end holds no text: its background must not show.
    int from = labelArea.right - 60;
    int labelPixels = (labelArea.right - 1 - from) * (labelArea.bottom - 2 - labelArea.top);
    int greenInLabel = countIn(from, labelArea.top + 1, labelArea.right - 1, labelArea.bottom - 1, green);
    if (greenInLabel != labelPixels) {
        problems.push_back(Format("label background: %d of %d pixels at its right end are RGB(0,128,64); "
                                  "pixel (%ld,%ld) is 0x%06lX",
                                  greenInLabel, labelPixels, labelArea.right - 10, labelArea.top + 8,
                                  shot.At(labelArea.right - 10, labelArea.top + 8)));
    }
    // The name itself, white, at the label's left.
    int whiteText = countIn(labelArea.left, labelArea.top, labelArea.left + 80, labelArea.bottom, white);
    if (whiteText < 20) problems.push_back(Format("only %d white pixels where the label's text starts", whiteText));
    return problems;
}

void TitleStrip(TestContext& t) {
    Program& p = SharedProgram();
    HWND strip = p.Control(kIdTitleStrip);
    HWND label = p.Control(kIdTitleLabel);
    t.Require(strip != nullptr && label != nullptr, "title strip or its label missing");
    t.Check(TextOf(label) == kProductName, "label text is " + Visible(TextOf(label)));

    // What the user sees, read off the screen. Wine copies a window's
    // painting to the X server a moment after it is done, so look again a
    // few times before calling it wrong.
    SetForegroundWindow(p.Form());
    RedrawWindow(p.Form(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    p.Sync();
    std::vector<std::string> problems;
    for (int look = 0; look < 10; ++look) {
        if (look > 0) Sleep(200);
        problems = StripPixelProblems(strip, label);
        if (problems.empty()) break;
    }
    for (const std::string& problem : problems) t.Check(false, problem);
}

// ================================================================ layout

struct ControlLayout {
    int id;
    const wchar_t* className;
    int parentId;  // 0 = the form
    RECT rect;     // left, top, right, bottom in the parent's client area
    const wchar_t* text;  // nullptr = not checked
};

const ControlLayout kLayout[] = {
    {kIdTitleStrip, L"OstradaPictureBox", 0, {16, 16, 16 + 443, 16 + 25}, nullptr},
    {kIdTitleLabel, L"Static", kIdTitleStrip, {8, 0, 8 + 389, 0 + 16}, kProductName},
    {kIdTextBox, L"Edit", 0, {16, 56, 16 + 441, 56 + 369}, nullptr},
    {kIdGo, L"Button", 0, {16, 432, 16 + 113, 432 + 33}, L"Go"},
    {kIdExit, L"Button", 0, {344, 432, 344 + 113, 432 + 33}, L"Exit"},
};

void Layout(TestContext& t) {
    Program& p = SharedProgram();
    RECT client{};
    GetClientRect(p.Form(), &client);
    t.Check(client.right == 475 && client.bottom == 474, "form client area is " + Rect(client));

    for (const ControlLayout& c : kLayout) {
        HWND window = p.Control(c.id);
        std::string name = Format("control %d", c.id);
        if (!t.Check(window != nullptr, name + " missing")) continue;
        t.Check(ClassOf(window) == c.className, name + " has class " + Utf8(ClassOf(window)));
        HWND parent = c.parentId == 0 ? p.Form() : p.Control(c.parentId);
        t.Check(GetParent(window) == parent, name + " has the wrong parent");
        RECT r = RectInParent(window);
        t.Check(EqualRect(&r, &c.rect), name + " is at " + Rect(r) + ", expected " + Rect(c.rect));
        t.Check(IsWindowVisible(window), name + " is not visible");
        if (c.text != nullptr) t.Check(TextOf(window) == c.text, name + " text is " + Visible(TextOf(window)));
    }

    // Tab order is the order of the form's children.
    std::vector<int> order;
    for (HWND child = GetWindow(p.Form(), GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        order.push_back(GetDlgCtrlID(child));
    }
    std::string seen;
    for (int id : order) seen += Format(" %d", id);
    t.Check(order == std::vector<int>{kIdTitleStrip, kIdTextBox, kIdGo, kIdExit},
            "children of the form in z-order:" + seen + ", expected 1 3 4 5");
}

// ================================================================ styles

void Styles(TestContext& t) {
    Program& p = SharedProgram();
    LONG_PTR form = Style(p.Form());
    LONG_PTR formEx = ExStyle(p.Form());
    struct Bit {
        const char* what;
        bool present;
        bool wanted;
    };
    const Bit formBits[] = {
        {"form WS_CAPTION", (form & WS_CAPTION) == WS_CAPTION, true},
        {"form WS_SYSMENU", (form & WS_SYSMENU) != 0, true},
        {"form WS_THICKFRAME", (form & WS_THICKFRAME) != 0, false},
        {"form WS_MINIMIZEBOX", (form & WS_MINIMIZEBOX) != 0, false},
        {"form WS_MAXIMIZEBOX", (form & WS_MAXIMIZEBOX) != 0, false},
        {"form WS_CHILD", (form & WS_CHILD) != 0, false},
        {"form WS_EX_DLGMODALFRAME", (formEx & WS_EX_DLGMODALFRAME) != 0, true},
    };
    for (const Bit& bit : formBits) {
        t.Check(bit.present == bit.wanted, Format("%s is %s", bit.what, bit.present ? "set" : "missing"));
    }

    LONG_PTR box = Style(p.Control(kIdTextBox));
    t.Check((box & ES_MULTILINE) != 0, "text box is not multi-line");
    t.Check((box & WS_HSCROLL) != 0, "text box has no horizontal scroll bar");
    t.Check((box & WS_VSCROLL) != 0, "text box has no vertical scroll bar");
    auto limit = static_cast<std::uint32_t>(Send(p.Control(kIdTextBox), EM_GETLIMITTEXT, 0, 0));
    t.Check(limit >= 0x7FFFFFFEu, Format("text box limit is %u characters", limit));

    for (int id : {kIdGo, kIdExit}) {
        LONG_PTR type = Style(p.Control(id)) & BS_TYPEMASK;
        t.Check(type == BS_PUSHBUTTON, Format("button %d has type 0x%lX, expected a plain push button (0)",
                                              id, static_cast<long>(type)));
    }

    HWND strip = p.Control(kIdTitleStrip);
    t.Check((Style(strip) & (WS_BORDER | WS_DLGFRAME)) == 0, "title strip has a border");
    t.Check((ExStyle(strip) & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE | WS_EX_WINDOWEDGE)) == 0,
            "title strip has an edge");
}

// ================================================================ fonts (asked inside the program)

void Fonts(TestContext& t) {
    Program& p = SharedProgram();
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    t.Require(dpi == 96, Format("the display has %d dpi; the expected sizes are for 96", dpi));

    auto answer = p.Ask<FontAnswer>(Query::Fonts);
    struct Want {
        int id;
        LONG height;
    };
    const Want wants[] = {{kIdTitleLabel, -15}, {kIdTextBox, -11}, {kIdGo, -11}, {kIdExit, -11}};
    for (const Want& want : wants) {
        const FontRecord& r = answer.slot[want.id];
        std::string name = Format("control %d", want.id);
        if (!t.Check(r.windowFound && r.hasFont && r.objectOk, name + " has no font of its own")) continue;
        const LOGFONTW& f = r.font;
        bool ok = SameFace(f.lfFaceName, L"Tahoma") && f.lfHeight == want.height && f.lfWeight == 400 &&
                  f.lfCharSet == 177 && !f.lfItalic && !f.lfUnderline && !f.lfStrikeOut;
        t.Check(ok, Format("%s font: %s, height %ld, weight %ld, charset %d, italic %d, underline %d, strike %d; "
                           "expected Tahoma, height %ld, weight 400, charset 177, plain",
                           name.c_str(), Utf8(f.lfFaceName).c_str(), f.lfHeight, f.lfWeight, f.lfCharSet,
                           f.lfItalic, f.lfUnderline, f.lfStrikeOut, want.height));
    }
}

// ================================================================ Go

struct GoCase {
    const char* name;
    std::wstring input;
    std::wstring expected;
    int selectFrom = -2;  // -2: leave the selection as Wine leaves it
    int selectTo = -2;
};

const std::vector<GoCase>& GoCases() {
    static const std::vector<GoCase> cases = {
        {"one CR LF", L"one\r\ntwo", L"one two"},
        {"several lines and a final CR LF", L"a\r\nbb\r\nccc\r\n", L"a bb ccc "},
        {"CR LF only", L"\r\n\r\n\r\n", L"   "},
        {"CR LF first and last", L"\r\nx\r\n", L" x "},
        {"lone LF", L"a\nb\nc", L"a\nb\nc"},
        {"lone CR", L"a\rb\rc", L"a\rb\rc"},
        {"LF CR", L"a\n\rb", L"a\n\rb"},
        {"CR CR LF", L"a\r\r\nb", L"a\r b"},
        {"CR LF LF", L"a\r\n\nb", L"a \nb"},
        {"blanks and tabs around a break", L"a \t\r\n\tb", L"a \t \tb"},
        {"Hebrew", L"\u05E9\u05DC\u05D5\u05DD\r\n\u05E2\u05D5\u05DC\u05DD", L"\u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD"},
        {"surrogate pairs next to breaks", L"\U0001F600\r\n\U0001D11E\r\n\U0001F600", L"\U0001F600 \U0001D11E \U0001F600"},
        {"no break", L"nothing to join", L"nothing to join"},
        {"empty", L"", L""},
        {"part selected", L"one\r\ntwo\r\nthree", L"one two three", 5, 8},
        {"all selected", L"one\r\ntwo", L"one two", 0, -1},
        {"caret at the end", L"one\r\ntwo\r\n", L"one two ", -1, -1},
    };
    return cases;
}

// Puts the case's text into the box, selects, presses Go twice: the first
// joins, the second must change nothing.
void RunGoCase(TestContext& t, Program& p, const GoCase& c, const std::function<void()>& pressGo) {
    p.SetBoxText(c.input);
    std::wstring before = p.BoxText();
    if (!CheckText(t, before, c.input, Format("[%s] text box after WM_SETTEXT", c.name))) return;
    if (c.selectFrom != -2) Send(p.Control(kIdTextBox), EM_SETSEL, c.selectFrom, c.selectTo);
    pressGo();
    if (!CheckText(t, p.BoxText(), c.expected, Format("[%s] after Go", c.name))) return;
    pressGo();
    CheckText(t, p.BoxText(), c.expected, Format("[%s] after a second Go", c.name));
}

void GoJoinsLines(TestContext& t) {
    Program& p = SharedProgram();
    for (const GoCase& c : GoCases()) RunGoCase(t, p, c, [&] { p.ClickGo(); });
}

// The form's command handler, reached without the button's own click.
void GoByCommandMessage(TestContext& t) {
    Program& p = SharedProgram();
    const GoCase c{"WM_COMMAND BN_CLICKED", L"x\r\ny\nz", L"x y\nz"};
    RunGoCase(t, p, c, [&] {
        Send(p.Form(), WM_COMMAND, MAKEWPARAM(kIdGo, BN_CLICKED), reinterpret_cast<LPARAM>(p.Control(kIdGo)));
    });
}

// Several megabytes pasted the way a user pastes: through the clipboard.
void PasteMegabytes(TestContext& t) {
    constexpr std::size_t kUnits = 2u << 20;  // code units: 4 MiB of UTF-16
    static const wchar_t* const kWords[] = {L"lorem", L"ipsum", L"\u05E9\u05DC\u05D5\u05DD", L"dolor",
                                            L"\U0001F600", L"a\rb", L"c\nd", L"\t", L"sit", L"amet"};
    std::wstring text;
    std::wstring expected;
    text.reserve(kUnits + 256);
    expected.reserve(kUnits + 256);
    unsigned state = 12345;
    while (text.size() < kUnits) {
        std::wstring line;
        state = state * 1103515245u + 12345u;
        int words = static_cast<int>((state >> 16) % 14);  // empty lines too
        for (int w = 0; w < words; ++w) {
            state = state * 1103515245u + 12345u;
            if (w > 0) line += L' ';
            line += kWords[(state >> 16) % (sizeof kWords / sizeof kWords[0])];
        }
        text += line + L"\r\n";
        expected += line + L" ";
    }

    Program& p = SharedProgram();
    HWND box = p.Control(kIdTextBox);
    PutOnClipboard(text);
    Send(box, EM_SETSEL, 0, -1);
    ULONGLONG started = GetTickCount64();
    Send(box, WM_PASTE, 0, 0, 300);
    t.Note(Format("paste of %zu code units: %.1f s", text.size(), (GetTickCount64() - started) / 1000.0));
    auto length = static_cast<std::size_t>(Send(box, WM_GETTEXTLENGTH, 0, 0));
    t.Require(length == text.size(), Format("after the paste the box holds %zu code units, expected %zu",
                                            length, text.size()));
    if (!CheckText(t, p.AskText(), text, "text box after the paste")) return;

    started = GetTickCount64();
    p.ClickGo(300);
    t.Note(Format("Go: %.1f s", (GetTickCount64() - started) / 1000.0));
    CheckText(t, p.AskText(), expected, "text box after Go");
}

// ================================================================ ending

struct EndCase {
    const char* name;
    std::function<void(Program&)> act;
};

void ExitAndClose(TestContext& t) {
    const EndCase cases[] = {
        {"Exit button", [](Program& p) { Post(p.Control(kIdExit), BM_CLICK, 0, 0); }},
        {"WM_CLOSE", [](Program& p) { Post(p.Form(), WM_CLOSE, 0, 0); }},
        {"SC_CLOSE", [](Program& p) { Post(p.Form(), WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const EndCase& c : cases) {
        Program p(L"");
        c.act(p);
        auto code = p.WaitForExit(30);
        if (!t.Check(code.has_value(), Format("[%s] the process still runs after 30 s", c.name))) continue;
        t.Check(*code == 0, Format("[%s] exit code 0x%lX", c.name, *code));
    }
}

// ================================================================ start modes

struct StartCase {
    const wchar_t* argumentText;
    bool minimised;
};

void StartModes(TestContext& t) {
    const StartCase cases[] = {
        {L"-st", true}, {L"-ST", false}, {L"/st", false}, {L"st", false}, {L"-st x", false}, {L"", false},
    };
    for (const StartCase& c : cases) {
        std::string name = Format("[%s]", Utf8(c.argumentText).c_str());
        Program p(c.argumentText, true);
        // Just before each minimise: was the form up, normal and centred?
        std::vector<MinMaxRecord> log = p.MinMaxLog();
        if (c.minimised) {
            bool once = log.size() == 1 && log[0].showCommand == SW_MINIMIZE;
            t.Check(once, Format("%s %zu minimise or maximise steps, expected one SW_MINIMIZE", name.c_str(),
                                 log.size()));
            if (once) {
                const MinMaxRecord& before = log[0];
                t.Check(before.visible && !before.iconic && !before.zoomed,
                        Format("%s before minimising the form was visible %d, minimised %d, maximised %d",
                               name.c_str(), before.visible, before.iconic, before.zoomed));
            }
        } else {
            t.Check(log.empty(), Format("%s the form was minimised or maximised %zu times", name.c_str(), log.size()));
        }
        auto where = p.Ask<PlacementAnswer>(Query::Placement);
        t.Check(where.visible != 0, name + " form not visible");
        t.Check((where.iconic != 0) == c.minimised,
                name + (c.minimised ? " form is not minimised" : " form is minimised"));
        UINT wantShow = c.minimised ? SW_SHOWMINIMIZED : SW_SHOWNORMAL;
        t.Check(where.placement.showCmd == wantShow,
                Format("%s showCmd %u, expected %u", name.c_str(), where.placement.showCmd, wantShow));
        // The normal rectangle is in work-area coordinates.
        RECT normal = where.placement.rcNormalPosition;
        OffsetRect(&normal, where.workArea.left, where.workArea.top);
        t.Check(Centred(normal, {where.monitor, where.workArea}),
                name + " normal position " + Rect(normal) + " is not centred on the screen " + Rect(where.monitor));
        if (c.minimised && log.size() == 1) {
            t.Check(EqualRect(&log[0].windowRect, &normal),
                    name + " before minimising the form was at " + Rect(log[0].windowRect) +
                        ", not at its normal position " + Rect(normal));
        }
        if (!c.minimised) {
            RECT r{};
            GetWindowRect(p.Form(), &r);
            t.Check(EqualRect(&r, &normal), name + " window at " + Rect(r) + " but normal position " + Rect(normal));
        }
    }
}

// ================================================================ smoke (emulated 32-bit)

void SmokeCaptions(TestContext& t) {
    Program& p = SharedProgram();
    t.Check(TextOf(p.Form()) == kProductName, "form caption is " + Visible(TextOf(p.Form())));
    t.Check(p.Owner() != nullptr && TextOf(p.Owner()) == kApplicationTitle,
            "owner caption is " + (p.Owner() ? Visible(TextOf(p.Owner())) : std::string("(no owner)")));
    t.Check(!IsIconic(p.Form()), "form is minimised");
}

void SmokeGo(TestContext& t) {
    Program& p = SharedProgram();
    const GoCase c{"small text", L"one\r\ntwo\nthree\r\n\u05E9", L"one two\nthree \u05E9"};
    RunGoCase(t, p, c, [&] { p.ClickGo(); });
}

void SmokeExit(TestContext& t) {
    Program& p = SharedProgram();
    Post(p.Control(kIdExit), BM_CLICK, 0, 0);
    auto code = p.WaitForExit(60);
    t.Require(code.has_value(), "the process still runs after Exit");
    t.Check(*code == 0, Format("exit code 0x%lX", *code));
    EndSharedProgram();
}

void SmokeMinimisedStart(TestContext& t) {
    Program p(L"-st");
    t.Check(IsIconic(p.Form()) != 0, "form is not minimised");
    t.Check(IsWindowVisible(p.Form()) != 0, "form is not visible");
    Post(p.Form(), WM_CLOSE, 0, 0);
    auto code = p.WaitForExit(60);
    t.Require(code.has_value(), "the process still runs after WM_CLOSE");
    t.Check(*code == 0, Format("exit code 0x%lX", *code));
}

// Full suite in an order that lets the shared instance serve the looking
// tests first and the large paste last.
// The form and its outermost owner carry the product icon at the system's
// large and small icon sizes.
void WindowIcons(TestContext& t) {
    Program& p = SharedProgram();
    const auto icons = p.Ask<IconAnswer>(Query::Icons);
    const char* whose[] = {"form", "owner"};
    for (int i = 0; i < 2; ++i) {
        for (const auto& [kind, icon, metric] :
             {std::tuple{"large", icons.big[i], icons.metricBig}, std::tuple{"small", icons.small[i], icons.metricSmall}}) {
            t.Check(icon.present && icon.infoOk, Format("%s has no %s icon", whose[i], kind));
            t.Check(icon.width == metric[0] && icon.height == metric[1],
                    Format("%s %s icon is %dx%d, the system metric %dx%d", whose[i], kind, icon.width, icon.height,
                           metric[0], metric[1]));
        }
    }
}

const bool kRegistered = [] {
    const std::vector<std::string> full{"full"};
    const std::vector<std::string> smoke{"smoke"};
    Register({"form_and_owner", full, FormAndOwner});
    Register({"title_strip", full, TitleStrip});
    Register({"layout", full, Layout});
    Register({"styles", full, Styles});
    Register({"fonts", full, Fonts});
    Register({"window_icons", full, WindowIcons});
    Register({"go_joins_lines", full, GoJoinsLines});
    Register({"go_by_command_message", full, GoByCommandMessage});
    Register({"paste_megabytes", full, PasteMegabytes});
    Register({"exit_and_close", full, ExitAndClose});
    Register({"start_modes", full, StartModes});
    Register({"smoke_captions", smoke, SmokeCaptions});
    Register({"smoke_go", smoke, SmokeGo});
    Register({"smoke_exit", smoke, SmokeExit});
    Register({"smoke_minimised_start", smoke, SmokeMinimisedStart});
    return true;
}();

}  // namespace
}  // namespace ostrada_e2e
