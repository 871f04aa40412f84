// A recording double of the forms platform: every operation the program
// asks of it is appended to one log, in order, so tests can check both
// what happened and when.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/Forms.h"

namespace ostrada::testing {

inline std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

using Log = std::vector<std::string>;

class FakePictureBox final : public platform::PictureBox {
public:
    FakePictureBox(Log& log, std::string name) : log_(log), name_(std::move(name)) {}
    void SetBackColour(platform::Colour colour) override {
        backColour = colour;
        log_.push_back(name_ + ".SetBackColour(" + std::to_string(colour) + ")");
    }
    platform::Colour backColour = 0;

private:
    Log& log_;
    std::string name_;
};

class FakeLabel final : public platform::Label {
public:
    FakeLabel(Log& log, std::string name) : log_(log), name_(std::move(name)) {}
    void SetCaption(std::u16string_view text) override {
        caption = text;
        log_.push_back(name_ + ".SetCaption(" + Narrow(text) + ")");
    }
    std::u16string caption;

private:
    Log& log_;
    std::string name_;
};

class FakeTextBox final : public platform::TextBox {
public:
    FakeTextBox(Log& log, std::string name) : log_(log), name_(std::move(name)) {}
    std::u16string Text() const override {
        log_.push_back(name_ + ".Text");
        if (failRead) throw platform::OutOfMemory("no memory");
        return text;
    }
    void SetText(const std::u16string& value) override {
        log_.push_back(name_ + ".SetText");
        if (failWrite) throw platform::OutOfMemory("no memory");
        text = value;
    }
    std::u16string text;
    bool failRead = false;
    bool failWrite = false;

private:
    Log& log_;
    std::string name_;
};

class FakeButton final : public platform::Button {};

class FakeForm final : public platform::Form {
public:
    FakeForm(Log& log, std::string name, platform::Handle hwnd) : log_(log), name_(std::move(name)), hwnd_(hwnd) {}

    platform::Handle Hwnd() const override { return hwnd_; }
    void SetCaption(std::u16string_view text) override {
        caption = text;
        log_.push_back(name_ + ".SetCaption(" + Narrow(text) + ")");
    }
    void Show() override { log_.push_back(name_ + ".Show"); }
    void Minimise() override { log_.push_back(name_ + ".Minimise"); }
    void Unload() override {
        loaded = false;
        log_.push_back(name_ + ".Unload");
    }

    platform::PictureBox& AddPictureBox(const platform::PictureBoxDesign& d) override {
        return Add<FakePictureBox>(d.name, d.rect);
    }
    platform::Label& AddLabel(platform::PictureBox&, const platform::LabelDesign& d) override {
        return Add<FakeLabel>(d.name, d.rect);
    }
    platform::TextBox& AddTextBox(const platform::TextBoxDesign& d) override {
        return Add<FakeTextBox>(d.name, d.rect);
    }
    platform::Button& AddButton(const platform::ButtonDesign& d) override {
        captions[Narrow(d.name)] = d.caption;
        return Add<FakeButton>(d.name, d.rect);
    }

    // The control added under this name.
    template <typename T>
    T& Get(const std::string& name) {
        return *std::get<std::unique_ptr<T>>(controls_.at(name));
    }

    std::u16string caption;
    bool loaded = true;
    std::vector<std::string> tabOrder;
    std::map<std::string, platform::Twips> rects;
    std::map<std::string, std::u16string> captions;

private:
    template <typename T>
    T& Add(std::u16string_view name, const platform::Twips& rect) {
        const std::string key = Narrow(name);
        tabOrder.push_back(key);
        rects[key] = rect;
        log_.push_back(name_ + ".Add(" + key + ")");
        std::unique_ptr<T> control;
        if constexpr (std::is_same_v<T, FakeButton>) {
            control = std::make_unique<T>();
        } else {
            control = std::make_unique<T>(log_, key);
        }
        T& added = *control;
        controls_.emplace(key, std::move(control));
        return added;
    }

    std::map<std::string, std::variant<std::unique_ptr<FakePictureBox>, std::unique_ptr<FakeLabel>,
                                       std::unique_ptr<FakeTextBox>, std::unique_ptr<FakeButton>>>
        controls_;
    Log& log_;
    std::string name_;
    platform::Handle hwnd_;
};

class FakeApplication final : public platform::Application {
public:
    std::u16string ArgumentText() const override {
        log.push_back("ArgumentText");
        return argumentText;
    }
    void SetTitle(std::u16string_view text) override {
        title = text;
        log.push_back("SetTitle(" + Narrow(text) + ")");
    }
    platform::Handle ModuleInstance() const override { return 0x400000; }
    void* ResolveEntryPoint(const char* library, const char* function) override {
        const std::string key = std::string(library) + "!" + function;
        log.push_back("Resolve(" + key + ")");
        auto found = entryPoints.find(key);
        return found == entryPoints.end() ? nullptr : found->second;
    }
    std::string ToAnsi(std::u16string_view text) const override { return Narrow(text); }
    platform::Form& CreateForm(const platform::FormDesign& design) override {
        formDesign = design;
        log.push_back("CreateForm(" + Narrow(design.name) + ")");
        forms.push_back(std::make_unique<FakeForm>(log, Narrow(design.name), 0x1000 + forms.size()));
        return *forms.back();
    }
    void ShowMessage(std::u16string_view text) override {
        messages.push_back(std::u16string(text));
        log.push_back("ShowMessage");
    }

    FakeForm& OnlyForm() { return *forms.at(0); }

    mutable Log log;
    std::u16string argumentText;
    std::u16string title;
    std::map<std::string, void*> entryPoints;
    std::vector<std::unique_ptr<FakeForm>> forms;
    platform::FormDesign formDesign;
    std::vector<std::u16string> messages;
};

}  // namespace ostrada::testing
