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

// A font of a design, as a GDI font at the density last asked for; the GDI
// font is deleted with the object or when another density is asked for.
class Font {
public:
    explicit Font(const FontDesign& design);
    ~Font();
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;
    HFONT Scale(int dpi);
    HFONT Get() const { return handle_; }

private:
    std::wstring face_;
    int hundredthsOfPoint_;
    int weight_;
    BYTE charset_;
    HFONT handle_ = nullptr;
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
    void OnDpiChanged(int dpi, const RECT* suggested);
    void OnNextDialogControl(WPARAM wParam, LPARAM lParam);
    void OnClose();
    void OnNcDestroy();

    HWND RequireWindow(const char* operation) const;
    void FitFrame(const RECT* where);
    template <typename T>
    T& Keep(std::unique_ptr<T> control);

    Win32Application& app_;
    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    DWORD style_;
    DWORD exStyle_;
    int clientWidth_;   // twips
    int clientHeight_;  // twips
    int dpi_ = USER_DEFAULT_SCREEN_DPI;
    Font font_;
    std::vector<std::unique_ptr<Control>> controls_;
    HWND focus_ = nullptr;  // the control that had the focus when the form was last active
    bool shown_ = false;
};

}  // namespace ostrada::platform::win32
