// The forms platform as the program sees it: an application object, forms
// built from small design structs, four kinds of control, entry points
// declared by library and name, and the two error modes.
//
// Nothing here names a Win32 type. The Win32 realisation lives in
// platform/win32; unit tests put a recording double in its place.
#pragma once

#include <cstdint>
#include <functional>
#include <exception>
#include <string>
#include <string_view>

namespace ostrada::platform {

// A Windows handle (HWND, HINSTANCE, HICON) carried as a plain number.
using Handle = std::uintptr_t;

// 0x00BBGGRR, or 0x80000000 + n for system colour n.
using Colour = std::uint32_t;
constexpr Colour SystemColour(int index) { return 0x80000000u + static_cast<Colour>(index); }

// Position and size in twips, relative to the parent's client area.
struct Twips {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct FontDesign {
    std::u16string_view face = u"Tahoma";
    double points = 8.25;
    int weight = 400;
    std::uint8_t charset = 0;
};

struct FormDesign {
    std::u16string_view name;
    int clientWidth = 0;   // twips
    int clientHeight = 0;  // twips
    FontDesign font;
    bool fixedDialogFrame = true;
    bool minButton = false;
    bool maxButton = false;
    bool showInTaskbar = false;
};

struct PictureBoxDesign {
    std::u16string_view name;
    Twips rect;
    Colour backColour = SystemColour(15);
    FontDesign font;
    bool border = false;
};

struct LabelDesign {
    std::u16string_view name;
    Twips rect;
    Colour foreColour = 0x00000000;
    FontDesign font;
    bool transparent = true;
};

struct TextBoxDesign {
    std::u16string_view name;
    Twips rect;
    FontDesign font;
    bool multiLine = true;
    bool horizontalScrollBar = true;
    bool verticalScrollBar = true;
};

struct ButtonDesign {
    std::u16string_view name;
    Twips rect;
    std::u16string_view caption;
    FontDesign font;
};

// A failure of a platform operation, or of the program's own logic. The
// message is kept in the object itself, so that raising an error allocates
// nothing.
class Error : public std::exception {
public:
    explicit Error(const char* what, const char* detail = nullptr) noexcept {
        std::size_t n = 0;
        for (const char* part : {what, detail}) {
            for (const char* c = part; c && *c && n + 1 < sizeof message_; ++c) message_[n++] = *c;
        }
        message_[n] = '\0';
    }
    const char* what() const noexcept override { return message_; }

private:
    char message_[160];
};

// The platform has no memory for the operation. The operation has changed
// nothing.
class OutOfMemory : public Error {
public:
    using Error::Error;
};

class Button {
public:
    virtual ~Button() = default;
    std::function<void()> onClick;
};

class TextBox {
public:
    virtual ~TextBox() = default;
    // The whole text, as UTF-16 code units.
    virtual std::u16string Text() const = 0;
    // Replaces the whole text, as one step the user can undo.
    virtual void SetText(const std::u16string& text) = 0;
};

class PictureBox {
public:
    virtual ~PictureBox() = default;
    virtual void SetBackColour(Colour colour) = 0;
};

class Label {
public:
    virtual ~Label() = default;
    virtual void SetCaption(std::u16string_view caption) = 0;
};

// A form and its controls. Controls are added in tab order; the form owns
// them, and the application owns the form.
class Form {
public:
    virtual ~Form() = default;
    virtual Handle Hwnd() const = 0;
    virtual void SetCaption(std::u16string_view caption) = 0;
    // Modeless; the first show places the form in the centre of the screen.
    virtual void Show() = 0;
    virtual void Minimise() = 0;
    // Destroys the window. The last unload ends the event loop.
    virtual void Unload() = 0;

    virtual PictureBox& AddPictureBox(const PictureBoxDesign& design) = 0;
    virtual Label& AddLabel(PictureBox& container, const LabelDesign& design) = 0;
    virtual TextBox& AddTextBox(const TextBoxDesign& design) = 0;
    virtual Button& AddButton(const ButtonDesign& design) = 0;
};

class Application {
public:
    virtual ~Application() = default;
    // Everything on the command line after the program's own path.
    virtual std::u16string ArgumentText() const = 0;
    virtual void SetTitle(std::u16string_view title) = 0;
    virtual Handle ModuleInstance() const = 0;
    // The address of an exported function, or nullptr when the library or
    // the function is missing. The names are literals: the application keeps
    // them, with what it found, for later calls.
    virtual void* ResolveEntryPoint(const char* library, const char* function) = 0;
    // Converts to the ANSI code page.
    virtual std::string ToAnsi(std::u16string_view text) const = 0;
    // Creates a form's window, hidden. Its controls are added next.
    virtual Form& CreateForm(const FormDesign& design) = 0;
    // Tells the user something went wrong; returns when they have read it.
    virtual void ShowMessage(std::u16string_view text) = 0;
};

// Runs one statement with errors ignored: a failure abandons the statement
// and control carries on after it.
template <typename Statement>
void IgnoreErrors(Statement&& statement) noexcept {
    try {
        statement();
    } catch (...) {
    }
}

}  // namespace ostrada::platform
