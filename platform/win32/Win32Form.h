// A form and its controls on Win32. Child controls are numbered 1, 2, ...
// in the order they are added, which is also the tab order.
#pragma once

#include <memory>
#include <vector>

#include "platform/Forms.h"
#include "platform/win32/Win32.h"

namespace ostrada::platform::win32 {

class Win32Application;

inline constexpr wchar_t kFormClass[] = L"OstradaForm";
inline constexpr wchar_t kPictureBoxClass[] = L"OstradaPictureBox";

// Registers the window classes of forms and picture boxes.
void RegisterFormClasses(HINSTANCE instance);

// A GDI font made from a design at a given density; deleted with the object.
class Font {
public:
    Font(const FontDesign& design, int dpi);
    ~Font();
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;
    HFONT Get() const { return handle_; }

private:
    HFONT handle_;
};

class Win32Form final : public Form {
public:
    Win32Form(Win32Application& app, HINSTANCE instance, HWND owner, const FormDesign& design);
    ~Win32Form() override;
    Win32Form(const Win32Form&) = delete;
    Win32Form& operator=(const Win32Form&) = delete;

    bool Loaded() const { return hwnd_ != nullptr; }
    HWND Window() const { return hwnd_; }

    Handle Hwnd() const override;
    void SetCaption(std::u16string_view caption) override;
    void Show() override;
    void Minimise() override;
    void Unload() override;

    PictureBox& AddPictureBox(const PictureBoxDesign& design) override;
    Label& AddLabel(PictureBox& container, const LabelDesign& design) override;
    TextBox& AddTextBox(const TextBoxDesign& design) override;
    Button& AddButton(const ButtonDesign& design) override;

    class Control;

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

private:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    // Handlers, one per message.
    void OnCommand(int id, HWND control, UINT code);
    void OnActivate(UINT state);
    void OnNextDialogControl(WPARAM wParam, LPARAM lParam);
    void OnClose();
    void OnNcDestroy();

    HWND RequireWindow(const char* operation) const;
    RECT PixelRect(const Twips& rect) const;
    int Pixels(int twips) const;
    template <typename T>
    T& Keep(std::unique_ptr<T> control);

    Win32Application& app_;
    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    int dpi_;
    Font font_;
    std::vector<std::unique_ptr<Control>> controls_;
    HWND focus_ = nullptr;  // the control that had the focus when the form was last active
    bool shown_ = false;
};

}  // namespace ostrada::platform::win32
