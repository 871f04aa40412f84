#include "platform/win32/Win32Form.h"

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

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : USER_DEFAULT_SCREEN_DPI;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

}  // namespace

Font::Font(const FontDesign& design, int dpi) {
    const int hundredths = static_cast<int>(design.points * 100.0 + 0.5);
    const std::wstring face = WideString(design.face);
    handle_ = CreateFontW(-MulDiv(hundredths, dpi, 7200), 0, 0, 0, design.weight, FALSE, FALSE, FALSE,
                          design.charset, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_DONTCARE, face.c_str());
    if (handle_ == nullptr) throw Error("Could not create the font");
}

Font::~Font() { DeleteObject(handle_); }

// The part every control shares: its window and its place in the form.
class Win32Form::Control {
public:
    explicit Control(HWND hwnd) : hwnd_(hwnd) {}
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    HWND Window() const { return hwnd_; }
    // A notification from the control to its form, such as a button's click.
    virtual void OnNotify(UINT /*code*/) {}

protected:
    HWND hwnd_;
};

namespace {

HWND CreateChild(HWND parent, HINSTANCE instance, const wchar_t* windowClass, DWORD style, DWORD exStyle,
                 const RECT& rect, int id, const wchar_t* text = L"") {
    HWND hwnd = CreateWindowExW(exStyle, windowClass, text, WS_CHILD | WS_VISIBLE | style, rect.left, rect.top,
                                rect.right, rect.bottom, parent,
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
        Edit_SetSel(hwnd_, 0, -1);
        Edit_ReplaceSel(hwnd_, Wide(text));
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
        : Control(hwnd), font_(design.font, dpi), foreColour_(ColourRef(design.foreColour)) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowFont(hwnd_, font_.Get(), FALSE);
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
        : Control(hwnd), font_(design.font, dpi) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowFont(hwnd_, font_.Get(), FALSE);
        SetBackColour(design.backColour);
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
    : app_(app), instance_(instance), dpi_(ScreenDpi()), font_(design.font, dpi_) {
    DWORD style = kFixedDialogStyle;
    if (design.minButton) style |= WS_MINIMIZEBOX;
    if (design.maxButton) style |= WS_MAXIMIZEBOX;
    if (!design.fixedDialogFrame) style |= WS_THICKFRAME;
    DWORD exStyle = design.fixedDialogFrame ? kFixedDialogExStyle : WS_EX_CONTROLPARENT;
    if (design.showInTaskbar) exStyle |= WS_EX_APPWINDOW;

    RECT frame{0, 0, Pixels(design.clientWidth), Pixels(design.clientHeight)};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    hwnd_ = CreateWindowExW(exStyle, kFormClass, L"", style, CW_USEDEFAULT, CW_USEDEFAULT,
                            frame.right - frame.left, frame.bottom - frame.top, owner, nullptr, instance, this);
    if (hwnd_ == nullptr) throw Error("Could not create the form");
}

Win32Form::~Win32Form() {
    if (hwnd_) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

HWND Win32Form::RequireWindow(const char* operation) const {
    if (hwnd_ == nullptr) throw Error(std::string(operation) + ": the form is not loaded");
    return hwnd_;
}

int Win32Form::Pixels(int twips) const { return MulDiv(twips, dpi_, 1440); }

RECT Win32Form::PixelRect(const Twips& rect) const {
    // right and bottom carry the width and height, as CreateWindowEx takes them.
    return RECT{Pixels(rect.left), Pixels(rect.top), Pixels(rect.width), Pixels(rect.height)};
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
                            WS_CLIPCHILDREN | (design.border ? WS_BORDER : 0), 0, PixelRect(design.rect), id);
    return Keep(std::make_unique<Win32PictureBox>(hwnd, design, dpi_));
}

Label& Win32Form::AddLabel(PictureBox& container, const LabelDesign& design) {
    RequireWindow("AddLabel");
    HWND parent = dynamic_cast<Control&>(container).Window();
    const int id = static_cast<int>(controls_.size()) + 1;
    HWND hwnd = CreateChild(parent, instance_, L"Static", SS_LEFT, 0, PixelRect(design.rect), id);
    return Keep(std::make_unique<Win32Label>(hwnd, design, dpi_));
}

TextBox& Win32Form::AddTextBox(const TextBoxDesign& design) {
    const int id = static_cast<int>(controls_.size()) + 1;
    DWORD style = WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
    if (design.multiLine) style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
    if (design.horizontalScrollBar) style |= WS_HSCROLL;
    if (design.verticalScrollBar) style |= WS_VSCROLL;
    HWND hwnd = CreateChild(RequireWindow("AddTextBox"), instance_, L"Edit", style, WS_EX_CLIENTEDGE,
                            PixelRect(design.rect), id);
    // Without this an edit control stops taking text at about 32K characters.
    SendMessageW(hwnd, EM_SETLIMITTEXT, 0, 0);
    SetWindowFont(hwnd, font_.Get(), FALSE);
    return Keep(std::make_unique<Win32TextBox>(hwnd));
}

Button& Win32Form::AddButton(const ButtonDesign& design) {
    const int id = static_cast<int>(controls_.size()) + 1;
    const std::wstring caption = WideString(design.caption);
    HWND hwnd = CreateChild(RequireWindow("AddButton"), instance_, L"Button", WS_TABSTOP | BS_PUSHBUTTON, 0,
                            PixelRect(design.rect), id, caption.c_str());
    SetWindowFont(hwnd, font_.Get(), FALSE);
    return Keep(std::make_unique<Win32Button>(hwnd));
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
