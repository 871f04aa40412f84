#include "ui/frmMain.h"

#include <cstdint>
#include <limits>

#include "app/mdlModes.h"
#include "core/JoinLines.h"
#include "ui/mdlSetFormIcon32.h"

namespace ostrada::ui::frmMain {

namespace {

using namespace platform;

constexpr FontDesign kTahoma{u"Tahoma", 8.25, 400, 177};
constexpr FontDesign kTitleFont{u"Tahoma", 11.25, 400, 177};
constexpr FontDesign kSansSerif{u"MS Sans Serif", 8.25, 400, 177};

constexpr FormDesign kForm{
    .name = u"frmMain", .clientWidth = 7125, .clientHeight = 7110, .font = kTahoma,
    .fixedDialogFrame = true, .minButton = false, .maxButton = false, .showInTaskbar = false};

// Controls in tab order.
constexpr PictureBoxDesign kPicTitle{
    .name = u"picTitle", .rect = {240, 240, 6645, 375}, .backColour = SystemColour(13), .font = kSansSerif,
    .border = false};
constexpr LabelDesign kLblTitle{
    .name = u"lblTitle", .rect = {120, 0, 5835, 240}, .foreColour = 0x00FFFFFF, .font = kTitleFont,
    .transparent = true};
constexpr TextBoxDesign kTxtResults{
    .name = u"txtResults", .rect = {240, 840, 6615, 5535}, .font = kTahoma, .multiLine = true,
    .horizontalScrollBar = true, .verticalScrollBar = true};
constexpr ButtonDesign kCmdGo{.name = u"cmdGo", .rect = {240, 6480, 1695, 495}, .caption = u"Go", .font = kTahoma};
constexpr ButtonDesign kCmdExit{
    .name = u"cmdExit", .rect = {5160, 6480, 1695, 495}, .caption = u"Exit", .font = kTahoma};

// Icons first, then identity, caption, title and strip colour.
void Form_Load(Application& app, Form& form, Label& lblTitle, PictureBox& picTitle) {
    InstallWindowIcons(app, form.Hwnd(), u"AAA", true);
    app::InitProductIdentity(app);
    form.SetCaption(app::productIdentity.productName);
    lblTitle.SetCaption(app::productIdentity.productName);
    picTitle.SetBackColour(ColourFromText(app::productIdentity.titleColorText));
}

// Joins the lines of the whole text, whatever is selected. The text is read
// into one buffer, joined where it stands and written back. Without the
// memory for that, the box keeps its text as it was and the user is told.
void cmdGo_Click(Application& app, TextBox& txtResults) {
    try {
        std::u16string text = txtResults.Text();
        core::JoinLinesInPlace(text);
        txtResults.SetText(text);
    } catch (const OutOfMemory&) {
        app.ShowMessage(u"There is not enough memory to join the lines of this text.\n\n"
                        u"The text has not been changed.");
    }
}

void cmdExit_Click(Form& form) { form.Unload(); }

}  // namespace

Colour ColourFromText(std::u16string_view text) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == u'-';
    if (negative) ++i;
    if (i == text.size()) throw Error("Type mismatch: not a number");
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < u'0' || text[i] > u'9') throw Error("Type mismatch: not a number");
        value = value * 10 + (text[i] - u'0');
        if (value > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) throw Error("Overflow");
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        throw Error("Overflow");
    }
    return static_cast<Colour>(static_cast<std::int32_t>(value));
}

Form& Create(Application& app) {
    Form& form = app.CreateForm(kForm);
    PictureBox& picTitle = form.AddPictureBox(kPicTitle);
    Label& lblTitle = form.AddLabel(picTitle, kLblTitle);
    TextBox& txtResults = form.AddTextBox(kTxtResults);
    Button& cmdGo = form.AddButton(kCmdGo);
    Button& cmdExit = form.AddButton(kCmdExit);

    cmdGo.onClick = [&app, &txtResults] { cmdGo_Click(app, txtResults); };
    cmdExit.onClick = [&form] { cmdExit_Click(form); };
    Form_Load(app, form, lblTitle, picTitle);
    return form;
}

}  // namespace ostrada::ui::frmMain
