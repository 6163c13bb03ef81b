#include "Forms.h"

#include <algorithm>

#include "Profile.h"
#include "Windows.h"

TControl::TControl(TForm* form, const std::string& name, int left, int top, int width, int height)
    : TComponent(form), Left(left), Top(top), Width(width), Height(height), FForm(form) {
    Name = name;
    form->AddControl(this);
}

TControl::~TControl() {
    if (FForm) FForm->RemoveControl(this);
}

void TControl::Changed() {
    if (FForm && FForm->Visible()) Application->Renderer().ControlChanged(*this);
}

void TControl::SetVisible(bool visible) {
    if (FVisible == visible) return;
    FVisible = visible;
    Changed();
}

void TControl::SetEnabled(bool enabled) {
    if (FEnabled == enabled) return;
    FEnabled = enabled;
    Changed();
}

void TLabel::SetCaption(const std::string& caption) {
    if (FCaption == caption) return;
    FCaption = caption;
    Changed();
}

void TButton::SetCaption(const std::string& caption) {
    FCaption = caption;
    Changed();
}

char TButton::AccessKey() const {
    std::size_t amp = FCaption.find('&');
    if (amp == std::string::npos || amp + 1 >= FCaption.size()) return 0;
    char c = FCaption[amp + 1];
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void TButton::Click() {
    if (!Visible() || !Enabled()) return;
    TForm* form = Form();
    if (OnClick) OnClick(this);
    if (ModalResult != mrNone && form) form->ModalResult = ModalResult;
}

void TSpinEdit::SetText(const std::string& text) {
    if (FText == text) return;
    FText = text;
    Changed();
}

int TSpinEdit::Value() const {
    std::optional<std::int32_t> value = TryStrToInt(FText);
    // Only plain decimal text counts: "$10" typed into the edit is no number.
    bool decimal = FText.find_first_not_of("+-0123456789 ") == std::string::npos;
    return value && decimal ? Clamp(*value) : 0;
}

void TSpinEdit::SetValue(int value) { SetText(std::to_string(Clamp(value))); }

void TSpinEdit::StepBy(int steps) { SetValue(Clamp(static_cast<long long>(Value()) + static_cast<long long>(steps) * Increment)); }

int TSpinEdit::Clamp(long long value) const {
    if (MinValue == 0 && MaxValue == 0) return static_cast<int>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
    return static_cast<int>(std::clamp<long long>(value, MinValue, MaxValue));
}

void TStatusBar::SetPanelText(std::size_t index, const std::string& text) {
    if (index >= FPanels.size() || FPanels[index].Text == text) return;
    FPanels[index].Text = text;
    Changed();
}

void TMeter::SetRange(long long minValue, long long maxValue) {
    FMin = minValue;
    FMax = maxValue;
    FProgress = std::clamp(FProgress, std::min(FMin, FMax), std::max(FMin, FMax));
    Changed();
}

void TMeter::SetProgress(long long progress) {
    progress = std::clamp(progress, std::min(FMin, FMax), std::max(FMin, FMax));
    if (progress == FProgress) return;
    FProgress = progress;
    Changed();
}

void TMeter::SetCaption(const std::string& caption) {
    if (caption == FCaption) return;
    FCaption = caption;
    Changed();
}

TForm::TForm(TComponent* AOwner) : TComponent(AOwner) {}

TForm::~TForm() {
    if (FVisible) Hide();
    Application->Renderer().FormDestroyed(*this);
    if (Application->MainForm == this) Application->MainForm = nullptr;
    // The controls go now, while the form they leave is still whole; left to
    // the component destructor they would call back into a freed form.
    while (!FControls.empty()) delete FControls.back();
}

void TForm::SetCaption(const std::string& caption) {
    FCaption = caption;
    if (FVisible) Application->Renderer().FormChanged(*this);
}

void TForm::SetBounds(int width, int height) {
    FWidth = width;
    FHeight = height;
    if (FVisible) Application->Renderer().FormChanged(*this);
}

void TForm::RemoveControl(TControl* control) {
    std::erase(FControls, control);
    if (FActiveControl == control) FActiveControl = nullptr;
}

TControl* TForm::FirstInTabOrder() const {
    TControl* best = nullptr;
    for (TControl* control : FControls) {
        if (control->CanFocus() && (!best || control->TabOrder < best->TabOrder)) best = control;
    }
    return best;
}

void TForm::SetFocus(TControl* control) {
    if (control && !control->CanFocus()) return;
    FActiveControl = control;
    if (FVisible) Application->Renderer().FormChanged(*this);
}

void TForm::FocusNext(bool backwards) {
    std::vector<TControl*> order;
    for (TControl* control : FControls) {
        if (control->CanFocus()) order.push_back(control);
    }
    if (order.empty()) return;
    std::stable_sort(order.begin(), order.end(), [](TControl* a, TControl* b) { return a->TabOrder < b->TabOrder; });
    auto it = std::find(order.begin(), order.end(), FActiveControl);
    std::size_t index = it == order.end() ? 0 : static_cast<std::size_t>(it - order.begin());
    std::size_t count = order.size();
    index = it == order.end() ? 0 : backwards ? (index + count - 1) % count : (index + 1) % count;
    SetFocus(order[index]);
}

void TForm::Show() {
    if (!FActiveControl || !FActiveControl->CanFocus()) FActiveControl = FirstInTabOrder();
    FVisible = true;
    Application->Renderer().FormShown(*this);
    if (OnShow) OnShow(this);
}

void TForm::Hide() {
    if (!FVisible) return;
    FVisible = false;
    Application->Renderer().FormHidden(*this);
}

int TForm::ShowModal() {
    ModalResult = mrNone;
    FModal = true;
    Show();
    while (ModalResult == mrNone) {
        Application->HandleMessage();
        if (Application->Terminated()) ModalResult = mrCancel;
    }
    Hide();
    FModal = false;
    return ModalResult;
}

void TForm::Close() {
    if (FModal) {
        ModalResult = mrCancel;
        return;
    }
    Hide();
    // Closing the main form ends the application; the modal loops follow.
    if (Application->MainForm == this) Application->Terminate();
}

TButton* TForm::DefaultButton() const {
    for (TControl* control : FControls) {
        auto* button = dynamic_cast<TButton*>(control);
        if (button && button->Default) return button;
    }
    return nullptr;
}

TButton* TForm::CancelButton() const {
    for (TControl* control : FControls) {
        auto* button = dynamic_cast<TButton*>(control);
        if (button && button->Cancel) return button;
    }
    return nullptr;
}

void TForm::KeyEnter() {
    auto* focused = dynamic_cast<TButton*>(FActiveControl);
    TButton* target = focused ? focused : DefaultButton();
    if (target) target->Click();
}

void TForm::KeyEscape() {
    if (TButton* cancel = CancelButton()) cancel->Click();
}

bool TForm::KeyAccess(char letter) {
    if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
    for (TControl* control : FControls) {
        auto* button = dynamic_cast<TButton*>(control);
        if (button && button->AccessKey() == letter && button->CanFocus()) {
            button->Click();
            return true;
        }
    }
    return false;
}

TLabel* TForm::CaptionLabelOf(const TControl& control) const {
    TLabel* best = nullptr;
    for (TControl* other : FControls) {
        auto* label = dynamic_cast<TLabel*>(other);
        if (!label || label == &control) continue;
        bool sameRow = label->Top < control.Top + control.Height && control.Top < label->Top + label->Height;
        bool onTheLeft = label->Left + label->Width <= control.Left;
        if (sameRow && onTheLeft && (!best || label->Left > best->Left)) best = label;
    }
    return best;
}
