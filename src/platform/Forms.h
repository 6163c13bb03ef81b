// Forms and the controls the program's two windows and its message boxes
// are made of. Each control holds its state and tells the renderer when it
// changes; the renderer turns the user's input back into calls of Click,
// SetText, KeyEnter and the like on the GUI thread.
#pragma once

#include <string>
#include <vector>

#include "Application.h"
#include "Classes.h"

class TForm;

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

class TControl : public TComponent {
public:
    TControl(TForm* form, const std::string& name, int left, int top, int width, int height);
    ~TControl() override;

    TForm* Form() const { return FForm; }
    int Left, Top, Width, Height;
    int TabOrder = -1;  // -1: never takes the focus

    bool Visible() const { return FVisible; }
    void SetVisible(bool visible);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool enabled);
    bool CanFocus() const { return TabOrder >= 0 && FVisible && FEnabled; }

protected:
    void Changed();

private:
    TForm* FForm;
    bool FVisible = true;
    bool FEnabled = true;
};

class TLabel : public TControl {
public:
    using TControl::TControl;
    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& caption);
    TAlignment Alignment = TAlignment::taLeftJustify;
    bool Transparent = false;
    bool AutoSize = false;  // sized to its text, otherwise a fixed box

private:
    std::string FCaption;
};

class TButton : public TControl {
public:
    using TControl::TControl;
    // "&" marks the access key.
    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& caption);
    char AccessKey() const;
    bool Default = false;
    bool Cancel = false;
    int ModalResult = mrNone;
    TNotifyEvent OnClick;
    // Clicks the button when it is visible and enabled.
    void Click();

private:
    std::string FCaption;
};

// An integer spin edit: its value is the integer its text spells, or 0.
// With both bounds 0 nothing is clamped.
class TSpinEdit : public TControl {
public:
    using TControl::TControl;
    const std::string& Text() const { return FText; }
    void SetText(const std::string& text);
    int Value() const;
    void SetValue(int value);
    void StepBy(int steps);
    // The characters typing may put into the text, besides editing keys.
    static bool AcceptsChar(char c) { return c == '+' || c == '-' || (c >= '0' && c <= '9'); }
    int MinValue = 0;
    int MaxValue = 0;
    int Increment = 1;

private:
    int Clamp(long long value) const;
    std::string FText = "0";
};

class TStatusBar : public TControl {
public:
    struct TPanelInfo {
        std::string Text;
        int Width;
    };
    using TControl::TControl;
    void AddPanel(int width) { FPanels.push_back({"", width}); }
    const std::vector<TPanelInfo>& Panels() const { return FPanels; }
    void SetPanelText(std::size_t index, const std::string& text);

private:
    std::vector<TPanelInfo> FPanels;
};

// A horizontal gradient meter with a caption text drawn over it.
class TMeter : public TControl {
public:
    using TControl::TControl;
    long long MinValue() const { return FMin; }
    long long MaxValue() const { return FMax; }
    long long Progress() const { return FProgress; }
    const std::string& Caption() const { return FCaption; }
    void SetRange(long long minValue, long long maxValue);
    void SetMaxValue(long long maxValue) { SetRange(FMin, maxValue); }
    void SetProgress(long long progress);
    void SetCaption(const std::string& caption);

private:
    long long FMin = 0;
    long long FMax = 100;
    long long FProgress = 0;
    std::string FCaption;
};

class TPanel : public TControl {
public:
    using TControl::TControl;
};

// A lowered frame, here a two-pixel separator line.
class TBevel : public TControl {
public:
    using TControl::TControl;
};

// A tiled background picture; its pixels are the renderer's business.
class TPictureFill : public TControl {
public:
    using TControl::TControl;
};

class TForm : public TComponent {
public:
    explicit TForm(TComponent* AOwner);
    ~TForm() override;

    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& caption);
    // The client area the layout was made for, and the outer size.
    int ClientWidth = 0, ClientHeight = 0;
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void SetBounds(int width, int height);
    bool Centered = false;      // placed in the middle of the screen
    bool DialogFrame = false;   // fixed dialog frame without minimise box
    bool MessageBoxForm = false;

    const std::vector<TControl*>& Controls() const { return FControls; }

    TControl* ActiveControl() const { return FActiveControl; }
    void SetFocus(TControl* control);
    // Moves the focus to the next (or previous) control in tab order.
    void FocusNext(bool backwards);

    TNotifyEvent OnShow;
    bool Visible() const { return FVisible; }
    bool Modal() const { return FModal; }
    void Show();
    void Hide();
    // Shows the form and handles messages until it closes; returns why.
    int ShowModal();
    int ModalResult = mrNone;
    // The close box or the system's close command.
    void Close();

    // Keys as the user presses them in the form.
    void KeyEnter();
    void KeyEscape();
    bool KeyAccess(char letter);

    TButton* DefaultButton() const;
    TButton* CancelButton() const;
    // The caption label of a control: the label on its left in the same row.
    TLabel* CaptionLabelOf(const TControl& control) const;

private:
    friend class TControl;
    void AddControl(TControl* control) { FControls.push_back(control); }
    void RemoveControl(TControl* control);
    TControl* FirstInTabOrder() const;

    std::string FCaption;
    int FWidth = 0, FHeight = 0;
    std::vector<TControl*> FControls;
    TControl* FActiveControl = nullptr;
    bool FVisible = false;
    bool FModal = false;
};
