#include "platform/win32/Win32Form.h"

#include <algorithm>
#include <new>

#include "platform/win32/Win32Application.h"

namespace ostrada::platform::win32 {

namespace {

constexpr DWORD kFixedDialogStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kFixedDialogExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

COLORREF ColourRef(Colour colour) {
    if (colour & 0x80000000u) return GetSysColor(static_cast<int>(colour & 0xFFu));
    return static_cast<COLORREF>(colour & 0x00FFFFFFu);
}

int Pixels(int twips, int dpi) { return MulDiv(twips, dpi, 1440); }

// A user32 function that older versions of Windows lack, or nullptr.
template <typename Function>
Function User32(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

// The density a window is shown at: its monitor's where the program is
// aware of each monitor's density, the system's otherwise.
int WindowDpi(HWND hwnd) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = User32<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(hwnd)) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : USER_DEFAULT_SCREEN_DPI;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

// The frame around a client rectangle, with the frame metrics of a density.
void AdjustFrame(RECT& rect, DWORD style, DWORD exStyle, int dpi) {
    using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = User32<AdjustForDpiFn>("AdjustWindowRectExForDpi");
    if (!adjustForDpi || !adjustForDpi(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi))) {
        AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    }
}

// The test seam of the unhandled-error path: a form that receives this
// registered message raises an error in its window procedure, but only in a
// process started with OSTRADA_TEST_SEAMS=1 in its environment.
UINT TestErrorMessage() {
    static const UINT message = [] {
        wchar_t value[2];
        const DWORD length = GetEnvironmentVariableW(L"OSTRADA_TEST_SEAMS", value, 2);
        return length == 1 && value[0] == L'1' ? RegisterWindowMessageW(L"Ostrada.TestError") : 0u;
    }();
    return message;
}

[[noreturn]] void RaiseTestError() { throw Error("An error raised for a test"); }

// The form's default button, as IsDialogMessage asks for it when Enter is
// pressed: the push button that has the focus, so that Enter presses it as
// in a dialog. Elsewhere there is none, and Enter in the text box starts a
// new line there.
LRESULT DefaultButton(HWND form) {
    HWND focus = GetFocus();
    if (focus == nullptr || !IsChild(form, focus)) return 0;
    if (!(SendMessageW(focus, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON))) return 0;
    return MAKELRESULT(GetDlgCtrlID(focus), DC_HASDEFID);
}

}  // namespace

Font::Font(const FontDesign& design)
    : face_(WideString(design.face)),
      hundredthsOfPoint_(static_cast<int>(design.points * 100.0 + 0.5)),
      weight_(design.weight),
      charset_(design.charset) {}

Font::~Font() {
    if (handle_) DeleteObject(handle_);
}

HFONT Font::Scale(int dpi) {
    HFONT font = CreateFontW(-MulDiv(hundredthsOfPoint_, dpi, 7200), 0, 0, 0, weight_, FALSE, FALSE, FALSE,
                             charset_, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, face_.c_str());
    if (font == nullptr) throw Error("Could not create the font");
    if (handle_) DeleteObject(handle_);
    handle_ = font;
    return handle_;
}

// The part every control shares: its window and its place in the form.
class Win32Form::Control {
public:
    Control(HWND hwnd, const Twips& rect) : hwnd_(hwnd), rect_(rect) {}
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    HWND Window() const { return hwnd_; }
    // A notification from the control to its form, such as a button's click.
    virtual void OnNotify(UINT /*code*/) {}
    // Lays the control out at a density, in the form's font at that density.
    virtual void Rescale(int dpi, HFONT formFont) {
        Place(dpi);
        SetWindowFont(hwnd_, formFont, TRUE);
    }

protected:
    void Place(int dpi) {
        SetWindowPos(hwnd_, nullptr, Pixels(rect_.left, dpi), Pixels(rect_.top, dpi), Pixels(rect_.width, dpi),
                     Pixels(rect_.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
    }

    HWND hwnd_;
    Twips rect_;
};

namespace {

HWND CreateChild(HWND parent, HINSTANCE instance, const wchar_t* windowClass, DWORD style, DWORD exStyle,
                 const Twips& rect, int dpi, int id, const wchar_t* text = L"") {
    HWND hwnd = CreateWindowExW(exStyle, windowClass, text, WS_CHILD | WS_VISIBLE | style, Pixels(rect.left, dpi),
                                Pixels(rect.top, dpi), Pixels(rect.width, dpi), Pixels(rect.height, dpi), parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    if (hwnd == nullptr) throw Error("Could not create a control");
    return hwnd;
}

class Win32Button final : public Win32Form::Control, public Button {
public:
    using Control::Control;
    void OnNotify(UINT code) override {
        if (code == BN_CLICKED && onClick) onClick();
    }
};

// While an edit control replaces its text it holds copies of the old and
// the new text at once (the undo buffer among them) and lays the new one
// out. Where memory runs out part way through, edit controls have been seen
// to fault in their own code, taking the user's text with them. Taking
// address space for that many copies first, and giving it straight back,
// turns such a shortage into a refusal that leaves the text alone. Only
// address space is reserved, so this costs no memory and next to no time.
bool RoomForCopies(std::size_t bytes) {
    constexpr int kCopies = 4;
    if (bytes == 0) return true;
    void* taken[kCopies] = {};
    bool room = true;
    for (void*& block : taken) {
        block = VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS);
        if (block == nullptr) {
            room = false;
            break;
        }
    }
    for (void* block : taken) {
        if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
    }
    return room;
}

class Win32TextBox final : public Win32Form::Control, public TextBox {
public:
    using Control::Control;

    std::u16string Text() const override {
        const int length = GetWindowTextLengthW(hwnd_);
        std::u16string text;
        try {
            text.resize(static_cast<std::size_t>(length));
        } catch (const std::bad_alloc&) {
            throw OutOfMemory("Not enough memory to read the text");
        }
        const int copied = GetWindowTextW(hwnd_, reinterpret_cast<wchar_t*>(text.data()), length + 1);
        if (copied == 0 && length > 0) throw OutOfMemory("Could not read the text");
        text.resize(static_cast<std::size_t>(copied));
        return text;
    }

    // Replaces the whole text as one edit the user can undo, and puts the
    // caret at the start.
    void SetText(const std::u16string& text) override {
        const std::size_t longer = std::max(static_cast<std::size_t>(GetWindowTextLengthW(hwnd_)), text.size());
        if (!RoomForCopies(longer * sizeof(wchar_t))) {
            throw OutOfMemory("Not enough memory to replace the text");
        }
        Edit_SetSel(hwnd_, 0, -1);
        // Edit_ReplaceSel would pass FALSE: the replacement could not be undone.
        SendMessageW(hwnd_, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(Wide(text)));
        if (static_cast<std::size_t>(GetWindowTextLengthW(hwnd_)) != text.size()) {
            throw OutOfMemory("Not enough memory to replace the text");
        }
        Edit_SetSel(hwnd_, 0, 0);
        Edit_ScrollCaret(hwnd_);
    }
};

class Win32Label final : public Win32Form::Control, public Label {
public:
    Win32Label(HWND hwnd, const LabelDesign& design, int dpi)
        : Control(hwnd, design.rect), font_(design.font), foreColour_(ColourRef(design.foreColour)) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowFont(hwnd_, font_.Scale(dpi), FALSE);
    }
    void Rescale(int dpi, HFONT) override {
        Place(dpi);
        SetWindowFont(hwnd_, font_.Scale(dpi), TRUE);
    }
    void SetCaption(std::u16string_view caption) override {
        if (!SetWindowTextW(hwnd_, WideString(caption).c_str())) throw Error("Could not set the caption");
    }
    COLORREF ForeColour() const { return foreColour_; }

private:
    Font font_;
    COLORREF foreColour_;
};

class Win32PictureBox final : public Win32Form::Control, public PictureBox {
public:
    Win32PictureBox(HWND hwnd, const PictureBoxDesign& design, int dpi)
        : Control(hwnd, design.rect), font_(design.font) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowFont(hwnd_, font_.Scale(dpi), FALSE);
        SetBackColour(design.backColour);
    }
    void Rescale(int dpi, HFONT) override {
        Place(dpi);
        SetWindowFont(hwnd_, font_.Scale(dpi), TRUE);
    }
    ~Win32PictureBox() override {
        if (brush_) DeleteObject(brush_);
    }

    void SetBackColour(Colour colour) override {
        HBRUSH brush = CreateSolidBrush(ColourRef(colour));
        if (brush == nullptr) throw Error("Could not set the background colour");
        if (brush_) DeleteObject(brush_);
        brush_ = brush;
        backColour_ = ColourRef(colour);
        InvalidateRect(hwnd_, nullptr, TRUE);
    }

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Win32PictureBox*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
        return Guarded([&]() -> LRESULT {
            switch (message) {
            case WM_ERASEBKGND:
                return self->OnEraseBackground(reinterpret_cast<HDC>(wParam));
            case WM_CTLCOLORSTATIC:
                return reinterpret_cast<LRESULT>(
                    self->OnLabelColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
            default:
                return DefWindowProcW(hwnd, message, wParam, lParam);
            }
        });
    }

private:
    // Fills the box with its background colour.
    LRESULT OnEraseBackground(HDC dc) {
        RECT client;
        GetClientRect(hwnd_, &client);
        FillRect(dc, &client, brush_);
        return 1;
    }

    // Labels on the box draw their text in their own colour over the box's
    // background, which makes them look transparent.
    HBRUSH OnLabelColour(HDC dc, HWND labelWindow) {
        const auto* label = reinterpret_cast<Win32Label*>(GetWindowLongPtrW(labelWindow, GWLP_USERDATA));
        if (label) SetTextColor(dc, label->ForeColour());
        SetBkMode(dc, TRANSPARENT);
        SetBkColor(dc, backColour_);
        return brush_;
    }

    Font font_;
    HBRUSH brush_ = nullptr;
    COLORREF backColour_ = 0;
};

}  // namespace

void RegisterFormClasses(HINSTANCE instance) {
    WNDCLASSEXW form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = &Win32Form::WindowProc;
    form.hInstance = instance;
    form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    form.lpszClassName = kFormClass;
    if (!RegisterClassExW(&form)) throw Error("Could not register the form class");

    WNDCLASSEXW picture{};
    picture.cbSize = sizeof picture;
    picture.lpfnWndProc = &Win32PictureBox::WindowProc;
    picture.hInstance = instance;
    picture.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    picture.lpszClassName = kPictureBoxClass;
    if (!RegisterClassExW(&picture)) throw Error("Could not register the picture box class");
}

Win32Form::Win32Form(Win32Application& app, HINSTANCE instance, HWND owner, const FormDesign& design)
    : app_(app),
      instance_(instance),
      style_(kFixedDialogStyle),
      exStyle_(design.fixedDialogFrame ? kFixedDialogExStyle : WS_EX_CONTROLPARENT),
      clientWidth_(design.clientWidth),
      clientHeight_(design.clientHeight),
      font_(design.font) {
    if (design.minButton) style_ |= WS_MINIMIZEBOX;
    if (design.maxButton) style_ |= WS_MAXIMIZEBOX;
    if (!design.fixedDialogFrame) style_ |= WS_THICKFRAME;
    if (design.showInTaskbar) exStyle_ |= WS_EX_APPWINDOW;

    hwnd_ = CreateWindowExW(exStyle_, kFormClass, L"", style_, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, owner, nullptr,
                            instance, this);
    if (hwnd_ == nullptr) throw Error("Could not create the form");
    dpi_ = WindowDpi(hwnd_);
    font_.Scale(dpi_);
    FitFrame(nullptr);
}

Win32Form::~Win32Form() {
    if (hwnd_) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

HWND Win32Form::RequireWindow(const char* operation) const {
    if (hwnd_ == nullptr) throw Error("The form is not loaded: ", operation);
    return hwnd_;
}

// Sizes the frame so that the client area has its design size at the
// current density; moves it to the top left of where, if given.
void Win32Form::FitFrame(const RECT* where) {
    RECT frame{0, 0, Pixels(clientWidth_, dpi_), Pixels(clientHeight_, dpi_)};
    AdjustFrame(frame, style_, exStyle_, dpi_);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    if (where) {
        SetWindowPos(hwnd_, nullptr, where->left, where->top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
        SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

Handle Win32Form::Hwnd() const { return reinterpret_cast<Handle>(RequireWindow("Hwnd")); }

void Win32Form::SetCaption(std::u16string_view caption) {
    if (!SetWindowTextW(RequireWindow("SetCaption"), WideString(caption).c_str()))
        throw Error("Could not set the caption");
}

void Win32Form::Show() {
    HWND hwnd = RequireWindow("Show");
    if (!shown_) {
        // Centre on the screen the first time.
        RECT frame;
        GetWindowRect(hwnd, &frame);
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
        const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
        SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        shown_ = true;
    }
    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
}

void Win32Form::Minimise() { ShowWindow(RequireWindow("Minimise"), SW_MINIMIZE); }

void Win32Form::Unload() {
    if (hwnd_) DestroyWindow(hwnd_);
}

template <typename T>
T& Win32Form::Keep(std::unique_ptr<T> control) {
    T& kept = *control;
    controls_.push_back(std::move(control));
    return kept;
}

PictureBox& Win32Form::AddPictureBox(const PictureBoxDesign& design) {
    const int id = static_cast<int>(controls_.size()) + 1;
    HWND hwnd = CreateChild(RequireWindow("AddPictureBox"), instance_, kPictureBoxClass,
                            WS_CLIPCHILDREN | (design.border ? WS_BORDER : 0), 0, design.rect, dpi_, id);
    return Keep(std::make_unique<Win32PictureBox>(hwnd, design, dpi_));
}

Label& Win32Form::AddLabel(PictureBox& container, const LabelDesign& design) {
    RequireWindow("AddLabel");
    // Every picture box a Win32 form hands out is a Win32PictureBox.
    HWND parent = static_cast<Win32PictureBox&>(container).Window();
    const int id = static_cast<int>(controls_.size()) + 1;
    HWND hwnd = CreateChild(parent, instance_, L"Static", SS_LEFT, 0, design.rect, dpi_, id);
    return Keep(std::make_unique<Win32Label>(hwnd, design, dpi_));
}

TextBox& Win32Form::AddTextBox(const TextBoxDesign& design) {
    const int id = static_cast<int>(controls_.size()) + 1;
    DWORD style = WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
    if (design.multiLine) style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
    if (design.horizontalScrollBar) style |= WS_HSCROLL;
    if (design.verticalScrollBar) style |= WS_VSCROLL;
    HWND hwnd = CreateChild(RequireWindow("AddTextBox"), instance_, L"Edit", style, WS_EX_CLIENTEDGE, design.rect,
                            dpi_, id);
    // Without this an edit control stops taking text at about 32K characters.
    SendMessageW(hwnd, EM_SETLIMITTEXT, 0, 0);
    SetWindowFont(hwnd, font_.Get(), FALSE);
    return Keep(std::make_unique<Win32TextBox>(hwnd, design.rect));
}

Button& Win32Form::AddButton(const ButtonDesign& design) {
    const int id = static_cast<int>(controls_.size()) + 1;
    const std::wstring caption = WideString(design.caption);
    HWND hwnd = CreateChild(RequireWindow("AddButton"), instance_, L"Button", WS_TABSTOP | BS_PUSHBUTTON, 0,
                            design.rect, dpi_, id, caption.c_str());
    SetWindowFont(hwnd, font_.Get(), FALSE);
    return Keep(std::make_unique<Win32Button>(hwnd, design.rect));
}

LRESULT CALLBACK Win32Form::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_NCCREATE) self->hwnd_ = hwnd;
    return Guarded([&] { return self->HandleMessage(message, wParam, lParam); });
}

LRESULT Win32Form::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        OnCommand(GET_WM_COMMAND_ID(wParam, lParam), GET_WM_COMMAND_HWND(wParam, lParam),
                  GET_WM_COMMAND_CMD(wParam, lParam));
        return 0;
    case WM_ACTIVATE:
        OnActivate(LOWORD(wParam));
        return 0;
    case WM_DPICHANGED:
        OnDpiChanged(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case DM_GETDEFID:
        return DefaultButton(hwnd_);
    case WM_NEXTDLGCTL:
        OnNextDialogControl(wParam, lParam);
        return 0;
    case WM_CLOSE:
        OnClose();
        return 0;
    case WM_NCDESTROY:
        OnNcDestroy();
        return 0;
    default:
        if (const UINT seam = TestErrorMessage(); seam != 0 && message == seam) RaiseTestError();
        return DefWindowProcW(hwnd_, message, wParam, lParam);
    }
}

// A control tells the form of something the user did, such as a click.
void Win32Form::OnCommand(int id, HWND control, UINT code) {
    if (control == nullptr || id < 1 || id > static_cast<int>(controls_.size())) return;
    controls_[static_cast<std::size_t>(id) - 1]->OnNotify(code);
}

// Gives the focus back to the control that had it, or to the first stop.
void Win32Form::OnActivate(UINT state) {
    if (state == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(hwnd_, focus)) focus_ = focus;
        return;
    }
    if (IsIconic(hwnd_)) return;
    HWND target = focus_ && IsWindow(focus_) ? focus_ : GetNextDlgTabItem(hwnd_, nullptr, FALSE);
    if (target) SetFocus(target);
}

// The window has moved to a monitor of another density: lay it out again
// there, fonts included.
void Win32Form::OnDpiChanged(int dpi, const RECT* suggested) {
    dpi_ = dpi;
    font_.Scale(dpi_);
    for (auto& control : controls_) control->Rescale(dpi_, font_.Get());
    FitFrame(suggested);
}

// Moves the focus to the next or previous tab stop, as a multi-line text
// box asks its form to when Tab is pressed in it.
void Win32Form::OnNextDialogControl(WPARAM wParam, LPARAM lParam) {
    HWND target = LOWORD(lParam) ? reinterpret_cast<HWND>(wParam)
                                 : GetNextDlgTabItem(hwnd_, GetFocus(), wParam != 0);
    if (target) SetFocus(target);
}

// Closing the window unloads the form.
void Win32Form::OnClose() { Unload(); }

void Win32Form::OnNcDestroy() {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    hwnd_ = nullptr;
    app_.FormUnloaded();
}

}  // namespace ostrada::platform::win32
