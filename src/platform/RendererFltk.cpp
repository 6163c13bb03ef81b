// The window interface on FLTK: every form becomes an X11 window and every
// control a widget that keeps a copy of the control's state, so drawing never
// reads a control that may be gone.
//
// FLTK runs inside our poll() loop on the GUI thread: the X connection is one
// more watched descriptor, and Fl::check() runs from the round hook when that
// descriptor was readable, or when FLTK has drawing or already-read events
// waiting, at most every CheckPeriodMs. Nothing here blocks.
//
// Input goes back to the model on the GUI thread. Focus moves, typing and
// steps of a spin edit reach it at once, so keys typed ahead after a Tab
// land where the model put the focus. Clicks, Enter, Escape, access keys
// and the close box are posted and run after Fl::check() returns: a click
// may show a modal form, whose loop must not run inside FLTK's event
// handling. Keys for a form with a click on its way are dropped, as the
// click usually closes it.
#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Forms.h"
#include "Renderer.h"
#include "Windows.h"

// After our own headers: Xlib defines macros such as Status and None.
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Tooltip.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// About 8 point on a 96 dpi screen.
constexpr Fl_Fontsize FontSize = 11;
// fontconfig maps this name to a metric-compatible sans font where the
// original is missing (Liberation Sans, Nimbus Sans), else to its default
// sans font. The leading space is FLTK's style code for a regular face.
const char* const FontName = " Arial";
// Fl::check() runs at most this often unless the X descriptor is readable.
constexpr int CheckPeriodMs = 20;
// Checks run back to back while Xlib still holds events it has read.
constexpr int MaxChecksInRow = 4;
// How long a new window may take to be mapped before we stop waiting to
// give it the keyboard.
constexpr std::uint64_t FocusOnMapWaitMs = 2000;
constexpr int MeterSteps = 61;
constexpr int FillTileSize = 100;
constexpr int WindowIconSize = 16;
constexpr int ErrorIconSize = 32;
constexpr int SpinButtonWidth = 15;
// The message box: margins around the icon, the text and the OK button.
constexpr int BoxMargin = 12;
constexpr int BoxMinWidth = 200;
// The smallest size the user may give the main window.
constexpr int MinWindowWidth = 120;
constexpr int MinWindowHeight = 60;
constexpr UINT_PTR PumpTimerId = 1;
constexpr int DisplayOpenAttempts = 5;
constexpr int DisplayRetryMs = 20;
const char* const PumpClassName = "TavixFltkPump";

const Fl_Color Silver = fl_rgb_color(192, 192, 192);
const Fl_Color Gray = fl_rgb_color(128, 128, 128);

// CR, LF and CR LF each become one line break; trailing breaks go.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            lines.emplace_back();
        } else {
            lines.back().push_back(text[i]);
        }
    }
    while (lines.size() > 1 && lines.back().empty()) lines.pop_back();
    return lines;
}

Fl_Color Blend(Fl_Color from, Fl_Color to, double weight) {
    uchar r1, g1, b1, r2, g2, b2;
    Fl::get_color(from, r1, g1, b1);
    Fl::get_color(to, r2, g2, b2);
    auto mix = [weight](uchar a, uchar b) { return static_cast<uchar>(std::lround(a + (b - a) * weight)); };
    return fl_rgb_color(mix(r1, r2), mix(g1, g2), mix(b1, b2));
}

struct TRect {
    int X = 0, Y = 0, W = 0, H = 0;
    TRect Union(const TRect& other) const {
        if (W <= 0 || H <= 0) return other;
        if (other.W <= 0 || other.H <= 0) return *this;
        int left = std::min(X, other.X), top = std::min(Y, other.Y);
        int right = std::max(X + W, other.X + other.W), bottom = std::max(Y + H, other.Y + other.H);
        return {left, top, right - left, bottom - top};
    }
};

// --- Pictures made in code --------------------------------------------------

// A calm tile: a pale blue-grey with two faint diagonal waves whose periods
// divide the tile, so the tiles meet without seams.
Fl_RGB_Image& FillTile() {
    static std::vector<uchar> pixels = [] {
        std::vector<uchar> data(FillTileSize * FillTileSize * 3);
        const double pi = std::acos(-1.0);
        for (int y = 0; y < FillTileSize; ++y) {
            for (int x = 0; x < FillTileSize; ++x) {
                double wave = 5.0 * std::sin(2 * pi * (x + y) / 50.0) + 3.0 * std::sin(2 * pi * (x - y) / 25.0);
                unsigned hash = (static_cast<unsigned>(x) * 73856093u) ^ (static_cast<unsigned>(y) * 19349663u);
                double grain = static_cast<double>((hash >> 7) % 5) - 2.0;
                uchar* pixel = &data[static_cast<std::size_t>((y * FillTileSize + x) * 3)];
                pixel[0] = static_cast<uchar>(std::lround(208 + wave + grain));
                pixel[1] = static_cast<uchar>(std::lround(217 + wave + grain));
                pixel[2] = static_cast<uchar>(std::lround(230 + wave + grain));
            }
        }
        return data;
    }();
    static Fl_RGB_Image image(pixels.data(), FillTileSize, FillTileSize, 3);
    return image;
}

// The window icon: a blue disc with a white arrow pointing down.
const Fl_RGB_Image& WindowIcon() {
    static std::vector<uchar> pixels = [] {
        std::vector<uchar> data(WindowIconSize * WindowIconSize * 4);
        const double centre = (WindowIconSize - 1) / 2.0;
        for (int y = 0; y < WindowIconSize; ++y) {
            for (int x = 0; x < WindowIconSize; ++x) {
                double distance = std::hypot(x - centre, y - centre);
                double coverage = std::clamp(centre + 0.5 - distance, 0.0, 1.0);
                double dx = std::fabs(x - centre);
                bool shaft = dx <= 1.0 && y >= 3 && y <= 8;
                bool head = y >= 8 && y <= 12 && dx <= 12 - y + 0.5;
                uchar* pixel = &data[static_cast<std::size_t>((y * WindowIconSize + x) * 4)];
                if (shaft || head) {
                    pixel[0] = pixel[1] = pixel[2] = 255;
                } else {
                    pixel[0] = static_cast<uchar>(30 + 4 * (WindowIconSize - y));
                    pixel[1] = static_cast<uchar>(70 + 6 * (WindowIconSize - y));
                    pixel[2] = 200;
                }
                pixel[3] = static_cast<uchar>(std::lround(255 * coverage));
            }
        }
        return data;
    }();
    static Fl_RGB_Image image(pixels.data(), WindowIconSize, WindowIconSize, 4);
    return image;
}

// --- Widgets ----------------------------------------------------------------

class TFormView;

// What every control's widget has: the control it shows and how to copy
// that control's state.
class TLinked {
public:
    TLinked(TFormView& view, TControl& control) : View(view), Control(&control) {}
    virtual ~TLinked() = default;
    virtual Fl_Widget& Widget() = 0;
    // The widget that takes the keyboard focus for the control.
    virtual Fl_Widget& FocusWidget() { return Widget(); }
    // Copies the control's state into the widget.
    virtual void Sync() {}
    // The area the widget paints, which may reach beyond its box.
    virtual TRect Extent() {
        Fl_Widget& widget = Widget();
        return {widget.x(), widget.y(), widget.w(), widget.h()};
    }
    // The width the widget wants, for controls sized to their content.
    virtual int NaturalWidth() { return Control->Width; }

    TFormView& View;
    TControl* Control;
};

class TLabelWidget : public Fl_Widget, public TLinked {
public:
    TLabelWidget(TFormView& view, TLabel& label) : Fl_Widget(0, 0, 1, 1), TLinked(view, label) {}
    Fl_Widget& Widget() override { return *this; }

    void Sync() override {
        auto& label = static_cast<TLabel&>(*Control);
        FLines = Lines(label.Caption());
        FAlignment = label.Alignment;
        FTransparent = label.Transparent;
    }

    int NaturalWidth() override {
        auto& label = static_cast<TLabel&>(*Control);
        return label.AutoSize ? TextWidth() : label.Width;
    }

    TRect Extent() override {
        TRect extent{x(), y(), w(), h()};
        fl_font(FL_HELVETICA, FontSize);
        for (std::size_t i = 0; i < FLines.size(); ++i) {
            int width = static_cast<int>(std::ceil(fl_width(FLines[i].c_str())));
            extent = extent.Union({LineX(width), y() + static_cast<int>(i) * fl_height(), width + 1, fl_height()});
        }
        return extent;
    }

    int TextWidth() {
        fl_font(FL_HELVETICA, FontSize);
        double widest = 0;
        for (const std::string& line : FLines) widest = std::max(widest, fl_width(line.c_str()));
        return static_cast<int>(std::ceil(widest));
    }
    int TextHeight() {
        fl_font(FL_HELVETICA, FontSize);
        return static_cast<int>(FLines.size()) * fl_height();
    }

protected:
    // The text is not clipped to the box: a caption wider than its box
    // reaches out on the side its alignment leaves open, as on the original.
    void draw() override {
        if (!FTransparent) {
            fl_color(FL_BACKGROUND_COLOR);
            fl_rectf(x(), y(), w(), h());
        }
        fl_font(FL_HELVETICA, FontSize);
        fl_color(active_r() ? FL_BLACK : Gray);
        int baseline = y() + fl_height() - fl_descent();
        for (std::size_t i = 0; i < FLines.size(); ++i) {
            int width = static_cast<int>(std::ceil(fl_width(FLines[i].c_str())));
            fl_draw(FLines[i].c_str(), LineX(width), baseline + static_cast<int>(i) * fl_height());
        }
    }

private:
    int LineX(int width) const {
        switch (FAlignment) {
            case TAlignment::taRightJustify:
                return x() + w() - width;
            case TAlignment::taCenter:
                return x() + (w() - width) / 2;
            default:
                return x();
        }
    }

    std::vector<std::string> FLines;
    TAlignment FAlignment = TAlignment::taLeftJustify;
    bool FTransparent = false;
};

class TButtonWidget : public Fl_Button, public TLinked {
public:
    TButtonWidget(TFormView& view, TButton& button);
    Fl_Widget& Widget() override { return *this; }

    void Sync() override {
        auto& button = static_cast<TButton&>(*Control);
        // FLTK's labels use the same "&" convention: the letter after it is
        // drawn underlined, "&&" is a plain ampersand.
        if (!label() || button.Caption() != label()) copy_label(button.Caption().c_str());
        FDefault = button.Default;
    }

protected:
    void draw() override {
        Fl_Button::draw();
        if (FDefault) {
            fl_color(FL_BLACK);
            fl_rect(x(), y(), w(), h());
        }
    }

private:
    bool FDefault = false;
};

// The edit part of a spin edit: takes only what TSpinEdit::AcceptsChar
// allows, besides the editing keys.
class TSpinInput : public Fl_Input {
public:
    TSpinInput(int x, int y, int w, int h) : Fl_Input(x, y, w, h) {}
    std::function<void()> OnPush;

    int handle(int event) override {
        switch (event) {
            case FL_PUSH:
                if (OnPush) OnPush();
                break;
            case FL_KEYBOARD: {
                int key = Fl::event_key();
                // The arrows stay inside the edit, so FLTK's own navigation
                // never moves the focus behind the model's back.
                if (key == FL_Left || key == FL_Right || key == FL_Up || key == FL_Down) {
                    Fl_Input::handle(event);
                    return 1;
                }
                if (Fl::event_state(FL_CTRL | FL_ALT | FL_META)) break;
                if (Fl::event_length() == 1) {
                    char c = Fl::event_text()[0];
                    bool printable = static_cast<unsigned char>(c) >= 32 && c != 127;
                    if (printable && !TSpinEdit::AcceptsChar(c)) return 1;
                }
                break;
            }
            case FL_PASTE: {
                std::string text(Fl::event_text(), static_cast<std::size_t>(Fl::event_length()));
                if (!std::all_of(text.begin(), text.end(), TSpinEdit::AcceptsChar)) return 1;
                break;
            }
            default:
                break;
        }
        return Fl_Input::handle(event);
    }
};

// One of the two small buttons of a spin edit; it never takes the focus.
class TSpinArrow : public Fl_Button {
public:
    TSpinArrow(int x, int y, int w, int h, bool up) : Fl_Button(x, y, w, h), FUp(up) {
        visible_focus(0);
        box(FL_UP_BOX);
        down_box(FL_DOWN_BOX);
    }

protected:
    void draw() override {
        draw_box(value() ? down_box() : box(), color());
        int cx = x() + w() / 2, cy = y() + h() / 2;
        fl_color(active_r() ? FL_BLACK : Gray);
        if (FUp) {
            fl_polygon(cx - 3, cy + 1, cx + 3, cy + 1, cx, cy - 2);
        } else {
            fl_polygon(cx - 3, cy - 1, cx + 3, cy - 1, cx, cy + 2);
        }
    }

private:
    bool FUp;
};

class TSpinWidget : public Fl_Group, public TLinked {
public:
    TSpinWidget(TFormView& view, TSpinEdit& edit);
    Fl_Widget& Widget() override { return *this; }
    Fl_Widget& FocusWidget() override { return *Input; }

    void Sync() override {
        auto& edit = static_cast<TSpinEdit&>(*Control);
        if (edit.Text() != Input->value()) {
            Input->value(edit.Text().c_str());
            Input->position(Input->size());
        }
    }

    void resize(int x, int y, int w, int h) override {
        Fl_Widget::resize(x, y, w, h);
        Input->resize(x, y, w - SpinButtonWidth, h);
        Up->resize(x + w - SpinButtonWidth, y, SpinButtonWidth, h / 2);
        Down->resize(x + w - SpinButtonWidth, y + h / 2, SpinButtonWidth, h - h / 2);
    }

    TSpinInput* Input;
    TSpinArrow* Up;
    TSpinArrow* Down;
};

class TStatusWidget : public Fl_Widget, public TLinked {
public:
    TStatusWidget(TFormView& view, TStatusBar& status) : Fl_Widget(0, 0, 1, 1), TLinked(view, status) {}
    Fl_Widget& Widget() override { return *this; }
    void Sync() override { FPanels = static_cast<TStatusBar&>(*Control).Panels(); }

protected:
    void draw() override {
        fl_color(FL_BACKGROUND_COLOR);
        fl_rectf(x(), y(), w(), h());
        fl_color(Gray);
        fl_xyline(x(), y(), x() + w() - 1);
        fl_color(FL_WHITE);
        fl_xyline(x(), y() + 1, x() + w() - 1);
        fl_font(FL_HELVETICA, FontSize);
        int left = x();
        for (const TStatusBar::TPanelInfo& panel : FPanels) {
            int width = std::min(panel.Width, x() + w() - left);
            if (width <= 2) break;
            draw_box(FL_THIN_DOWN_BOX, left, y() + 2, width - 2, h() - 2, FL_BACKGROUND_COLOR);
            fl_push_clip(left + 2, y() + 3, width - 6, h() - 4);
            fl_color(FL_BLACK);
            int baseline = y() + 2 + (h() - 2 + fl_height()) / 2 - fl_descent();
            fl_draw(panel.Text.c_str(), left + 3, baseline);
            fl_pop_clip();
            left += panel.Width;
        }
    }

private:
    std::vector<TStatusBar::TPanelInfo> FPanels;
};

// A lowered box; the part done is a gradient from silver to gray in
// MeterSteps bands spread over the whole bar, with the caption in blue.
class TMeterWidget : public Fl_Widget, public TLinked {
public:
    TMeterWidget(TFormView& view, TMeter& meter) : Fl_Widget(0, 0, 1, 1), TLinked(view, meter) {}
    Fl_Widget& Widget() override { return *this; }

    void Sync() override {
        auto& meter = static_cast<TMeter&>(*Control);
        FMin = meter.MinValue();
        FMax = meter.MaxValue();
        FProgress = meter.Progress();
        FCaption = meter.Caption();
    }

protected:
    void draw() override {
        draw_box(FL_THIN_DOWN_BOX, x(), y(), w(), h(), FL_WHITE);
        int ix = x() + Fl::box_dx(FL_THIN_DOWN_BOX), iy = y() + Fl::box_dy(FL_THIN_DOWN_BOX);
        int iw = w() - Fl::box_dw(FL_THIN_DOWN_BOX), ih = h() - Fl::box_dh(FL_THIN_DOWN_BOX);
        double fraction = FMax > FMin ? static_cast<double>(FProgress - FMin) / static_cast<double>(FMax - FMin) : 0.0;
        int done = static_cast<int>(iw * std::clamp(fraction, 0.0, 1.0));
        if (done > 0) {
            fl_push_clip(ix, iy, done, ih);
            for (int step = 0; step < MeterSteps; ++step) {
                int left = ix + iw * step / MeterSteps;
                int right = ix + iw * (step + 1) / MeterSteps;
                fl_color(Blend(Silver, Gray, static_cast<double>(step) / (MeterSteps - 1)));
                fl_rectf(left, iy, right - left, ih);
            }
            fl_pop_clip();
        }
        if (!FCaption.empty()) {
            fl_font(FL_HELVETICA, FontSize);
            fl_color(FL_BLUE);
            int width = static_cast<int>(fl_width(FCaption.c_str()));
            fl_push_clip(ix, iy, iw, ih);
            fl_draw(FCaption.c_str(), ix + (iw - width) / 2, iy + (ih + fl_height()) / 2 - fl_descent());
            fl_pop_clip();
        }
    }

private:
    long long FMin = 0, FMax = 1, FProgress = 0;
    std::string FCaption;
};

class TPanelWidget : public Fl_Widget, public TLinked {
public:
    TPanelWidget(TFormView& view, TControl& panel) : Fl_Widget(0, 0, 1, 1), TLinked(view, panel) {}
    Fl_Widget& Widget() override { return *this; }

protected:
    void draw() override { draw_box(FL_THIN_UP_BOX, FL_BACKGROUND_COLOR); }
};

// A two-pixel lowered line: dark above (or left of) light.
class TBevelWidget : public Fl_Widget, public TLinked {
public:
    TBevelWidget(TFormView& view, TBevel& bevel) : Fl_Widget(0, 0, 1, 1), TLinked(view, bevel) {}
    Fl_Widget& Widget() override { return *this; }

protected:
    void draw() override {
        if (w() >= h()) {
            fl_color(Gray);
            fl_xyline(x(), y(), x() + w() - 1);
            fl_color(FL_WHITE);
            fl_xyline(x(), y() + 1, x() + w() - 1);
        } else {
            fl_color(Gray);
            fl_yxline(x(), y(), y() + h() - 1);
            fl_color(FL_WHITE);
            fl_yxline(x() + 1, y(), y() + h() - 1);
        }
    }
};

class TFillWidget : public Fl_Widget, public TLinked {
public:
    TFillWidget(TFormView& view, TPictureFill& fill) : Fl_Widget(0, 0, 1, 1), TLinked(view, fill) {}
    Fl_Widget& Widget() override { return *this; }

protected:
    void draw() override {
        Fl_RGB_Image& tile = FillTile();
        fl_push_clip(x(), y(), w(), h());
        for (int top = y(); top < y() + h(); top += FillTileSize) {
            for (int left = x(); left < x() + w(); left += FillTileSize) {
                if (fl_not_clipped(left, top, FillTileSize, FillTileSize)) tile.draw(left, top);
            }
        }
        fl_pop_clip();
    }
};

// Any other control: nothing to show.
class TPlainWidget : public Fl_Widget, public TLinked {
public:
    TPlainWidget(TFormView& view, TControl& control) : Fl_Widget(0, 0, 1, 1), TLinked(view, control) {}
    Fl_Widget& Widget() override { return *this; }

protected:
    void draw() override {}
};

// The message box's error sign: a red disc with a white cross.
class TErrorIcon : public Fl_Widget {
public:
    TErrorIcon(int x, int y) : Fl_Widget(x, y, ErrorIconSize, ErrorIconSize) {}

protected:
    void draw() override {
        fl_color(fl_rgb_color(200, 20, 20));
        fl_pie(x(), y(), w(), h(), 0, 360);
        fl_color(fl_rgb_color(120, 0, 0));
        fl_arc(x(), y(), w(), h(), 0, 360);
        fl_color(FL_WHITE);
        fl_line_style(FL_SOLID | FL_CAP_ROUND, 3);
        int inset = w() / 3;
        fl_line(x() + inset, y() + inset, x() + w() - inset, y() + h() - inset);
        fl_line(x() + w() - inset, y() + inset, x() + inset, y() + h() - inset);
        fl_line_style(0);
    }
};

// --- Forms ------------------------------------------------------------------

class TFltkRenderer;

class TFormWindow : public Fl_Double_Window {
public:
    TFormWindow(TFormView& view, int w, int h) : Fl_Double_Window(w, h), View(view) {}
    void resize(int x, int y, int w, int h) override;
    TFormView& View;
};

// A form's window, its widgets and what the renderer remembers about it.
class TFormView {
public:
    TFormView(TFltkRenderer& renderer, TForm& form, std::uint64_t serial);
    ~TFormView() { delete Window; }
    TFormView(const TFormView&) = delete;
    TFormView& operator=(const TFormView&) = delete;

    TLinked* Find(const TControl* control) const {
        auto it = Links.find(control);
        return it == Links.end() ? nullptr : it->second;
    }
    bool Owns(const TControl* control) const {
        return std::find(Form.Controls().begin(), Form.Controls().end(), control) != Form.Controls().end();
    }

    // Copies every control's state and places every widget.
    void SyncAll();
    // Copies one control's state and damages what it painted and paints.
    void SyncControl(TLinked& link);
    void Place(TLinked& link);
    void PlaceAll();
    // The size the window should have.
    void WantedSize(int& w, int& h) const;

    TFltkRenderer& Renderer;
    TForm& Form;
    std::uint64_t Serial;
    TFormWindow* Window;
    std::vector<TLinked*> Widgets;
    std::unordered_map<const TControl*, TLinked*> Links;
    TErrorIcon* Icon = nullptr;
    // The message box's size and the places of its label and button.
    int BoxWidth = 0, BoxHeight = 0;
    std::map<const TControl*, TRect> BoxPlaces;
    // Minimised by us and not yet seen unmapped; then seen unmapped.
    bool Iconic = false;
    bool SeenUnmapped = false;
    // Mapped, as the last map or unmap event said; an iconify request for a
    // window not yet mapped waits for the map.
    bool Mapped = false;
    bool IconifyOnMap = false;
    // Posted actions for the form not yet run.
    int PendingActions = 0;
};

class TFltkRenderer : public TRenderer {
public:
    TFltkRenderer();
    ~TFltkRenderer() override;

    void FormShown(TForm& form) override;
    void FormHidden(TForm& form) override;
    void FormDestroyed(TForm& form) override;
    void ControlChanged(TControl& control) override;
    void FormChanged(TForm& form) override;
    void TitleChanged(const std::string& title) override;
    void Minimized() override;
    void Restored() override;

    // Runs an action on the form through the queue, if the form still
    // exists, is shown and no other modal form stands above it by then.
    void Post(TFormView& view, std::function<void(TForm&)> action);
    // A click: the button takes the focus now and is clicked by the queue.
    void Click(TFormView& view, TButton* button);

    static TFltkRenderer* Active;

private:
    static int Dispatch(int event, Fl_Window* window);
    static LRESULT PumpProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    int HandleKey(TFormView& view, Fl_Window* window);
    TFormView* ViewOf(const TForm* form) const;
    TFormView* ViewOf(const Fl_Window* window) const;
    // The form that takes the keyboard: the topmost modal one, else the
    // form whose window got the event.
    TFormView* InputTarget(Fl_Window* window) const;
    bool Blocked(const TFormView& view) const;
    TFormView* MainView() const;
    TFormView* ActiveView() const;

    void Round();
    void RunCheck();
    // Asks for a check within CheckPeriodMs, also when the loop would
    // otherwise sleep: requests FLTK made are only sent by a check.
    void ScheduleCheck() {
        FCheckWanted = true;
        ArmTimer();
    }
    void ArmTimer();
    void SyncFocus();
    void FocusWhenMapped(const TForm* form) {
        FFocusOnMap = form;
        FFocusOnMapUntil = GetTickCount64() + FocusOnMapWaitMs;
    }
    void FocusWindowWhenMapped();
    void ApplyTitle(TFormView& view);

    bool HasWindowManager() const;
    void SetWmState(TFormView& view, long state) const;

    std::map<const TForm*, std::unique_ptr<TFormView>> FViews;
    std::vector<TForm*> FModal;
    std::uint64_t FNextSerial = 1;
    std::string FTitle;
    int FXFd = -1;
    bool FXReadable = false;
    bool FCheckWanted = false;
    bool FInCheck = false;
    std::uint64_t FLastCheck = 0;
    HWND FPump = nullptr;
    bool FTimerArmed = false;
    // The form whose window gets the X input focus once it is mapped, when
    // no window manager hands the focus out.
    const TForm* FFocusOnMap = nullptr;
    std::uint64_t FFocusOnMapUntil = 0;
};

TFltkRenderer* TFltkRenderer::Active = nullptr;

TButtonWidget::TButtonWidget(TFormView& view, TButton& button) : Fl_Button(0, 0, 1, 1), TLinked(view, button) {
    labelfont(FL_HELVETICA);
    labelsize(FontSize);
    callback([](Fl_Widget* widget, void*) {
        auto* self = static_cast<TButtonWidget*>(widget);
        self->View.Renderer.Click(self->View, static_cast<TButton*>(self->Control));
    });
}

TSpinWidget::TSpinWidget(TFormView& view, TSpinEdit& edit) : Fl_Group(0, 0, 1, 1), TLinked(view, edit) {
    Input = new TSpinInput(0, 0, 1, 1);
    Input->textfont(FL_HELVETICA);
    Input->textsize(FontSize);
    Input->when(FL_WHEN_CHANGED);
    // The text goes to the model as typed.
    Input->callback([](Fl_Widget*, void* data) {
        auto* self = static_cast<TSpinWidget*>(data);
        static_cast<TSpinEdit*>(self->Control)->SetText(self->Input->value());
    }, this);
    Input->OnPush = [this] { View.Form.SetFocus(Control); };
    Up = new TSpinArrow(0, 0, 1, 1, true);
    Down = new TSpinArrow(0, 0, 1, 1, false);
    auto step = [](Fl_Widget* widget, void* data) {
        auto* self = static_cast<TSpinWidget*>(data);
        int steps = widget == self->Up ? 1 : -1;
        self->View.Form.SetFocus(self->Control);
        static_cast<TSpinEdit*>(self->Control)->StepBy(steps);
    };
    Up->callback(step, this);
    Down->callback(step, this);
    end();
    resizable(nullptr);
}

TFormView::TFormView(TFltkRenderer& renderer, TForm& form, std::uint64_t serial)
    : Renderer(renderer), Form(form), Serial(serial) {
    Window = new TFormWindow(*this, std::max(form.ClientWidth, 1), std::max(form.ClientHeight, 1));
    // Only our Dispatch closes a window; FLTK's default would hide it.
    Window->callback([](Fl_Widget*, void*) {});
    Window->resizable(nullptr);
    Window->begin();
    if (form.MessageBoxForm) Icon = new TErrorIcon(BoxMargin, BoxMargin);
    for (TControl* control : form.Controls()) {
        TLinked* link;
        if (auto* label = dynamic_cast<TLabel*>(control)) {
            link = new TLabelWidget(*this, *label);
        } else if (auto* button = dynamic_cast<TButton*>(control)) {
            link = new TButtonWidget(*this, *button);
        } else if (auto* edit = dynamic_cast<TSpinEdit*>(control)) {
            link = new TSpinWidget(*this, *edit);
            Window->begin();
        } else if (auto* status = dynamic_cast<TStatusBar*>(control)) {
            link = new TStatusWidget(*this, *status);
        } else if (auto* meter = dynamic_cast<TMeter*>(control)) {
            link = new TMeterWidget(*this, *meter);
        } else if (auto* bevel = dynamic_cast<TBevel*>(control)) {
            link = new TBevelWidget(*this, *bevel);
        } else if (auto* fill = dynamic_cast<TPictureFill*>(control)) {
            link = new TFillWidget(*this, *fill);
        } else if (dynamic_cast<TPanel*>(control)) {
            link = new TPanelWidget(*this, *control);
        } else {
            link = new TPlainWidget(*this, *control);
        }
        Widgets.push_back(link);
        Links[control] = link;
    }
    Window->end();
}

// A message box is sized to its text: the icon on the left, the text on its
// right, the OK button centred below.
void TFormView::WantedSize(int& w, int& h) const {
    if (Form.MessageBoxForm) {
        w = BoxWidth;
        h = BoxHeight;
    } else if (Form.Width() > 0 && Form.Height() > 0) {
        w = Form.Width();
        h = Form.Height();
    } else {
        w = Form.ClientWidth;
        h = Form.ClientHeight;
    }
}

// The form keeps the places of its design size; a larger window stretches
// the controls that span the whole width, keeps the ones that touch the
// bottom edge at the bottom (the status bar) and lets the ones that reach
// from the top down to such a bar grow with it (the panel and its picture).
void TFormView::Place(TLinked& link) {
    const TControl& control = *link.Control;
    Fl_Widget& widget = link.Widget();
    auto box = BoxPlaces.find(&control);
    if (box != BoxPlaces.end()) {
        widget.resize(box->second.X, box->second.Y, box->second.W, box->second.H);
        return;
    }
    int dw = Window->w() - Form.ClientWidth, dh = Window->h() - Form.ClientHeight;
    int x = control.Left, y = control.Top, w = link.NaturalWidth(), h = control.Height;
    bool fullWidth = control.Left <= 0 && control.Left + control.Width >= Form.ClientWidth;
    bool atBottom = control.Top + control.Height >= Form.ClientHeight && control.Top > 0;
    bool fromTop = control.Top <= 0 && control.Height < Form.ClientHeight;
    if (fullWidth) w += dw;
    if (fullWidth && atBottom) y += dh;
    if (fullWidth && fromTop) h += dh;
    widget.resize(x, y, std::max(w, 0), std::max(h, 0));
}

void TFormView::PlaceAll() {
    for (TLinked* link : Widgets) Place(*link);
}

void TFormView::SyncAll() {
    for (TLinked* link : Widgets) {
        link->Sync();
        Fl_Widget& widget = link->Widget();
        link->Control->Visible() ? widget.show() : widget.hide();
        link->Control->Enabled() ? widget.activate() : widget.deactivate();
    }
    if (Form.MessageBoxForm) {
        // The label's text sets the size; the button keeps its own size.
        TLabelWidget* text = nullptr;
        TLinked* button = nullptr;
        for (TLinked* link : Widgets) {
            if (auto* label = dynamic_cast<TLabelWidget*>(link)) text = label;
            if (dynamic_cast<TButtonWidget*>(link)) button = link;
        }
        int textX = BoxMargin + ErrorIconSize + BoxMargin;
        int textW = text ? text->TextWidth() + 1 : 0, textH = text ? text->TextHeight() : 0;
        int contentH = std::max(ErrorIconSize, textH);
        int buttonW = button ? button->Control->Width : 0, buttonH = button ? button->Control->Height : 0;
        BoxWidth = std::max({textX + textW + BoxMargin, buttonW + 2 * BoxMargin, BoxMinWidth});
        BoxHeight = BoxMargin + contentH + BoxMargin + buttonH + BoxMargin;
        if (text) BoxPlaces[text->Control] = {textX, BoxMargin + (contentH - textH) / 2, textW, textH};
        if (button) BoxPlaces[button->Control] = {(BoxWidth - buttonW) / 2, BoxMargin + contentH + BoxMargin, buttonW, buttonH};
    }
    PlaceAll();
}

void TFormView::SyncControl(TLinked& link) {
    TRect before = link.Widget().visible() ? link.Extent() : TRect{};
    link.Sync();
    Fl_Widget& widget = link.Widget();
    link.Control->Visible() ? widget.show() : widget.hide();
    link.Control->Enabled() ? widget.activate() : widget.deactivate();
    Place(link);
    TRect after = widget.visible() ? link.Extent() : TRect{};
    TRect damaged = before.Union(after);
    // Only this area is drawn again, with whatever lies beneath it: a
    // transparent label shows the picture behind its old and new text.
    if (damaged.W > 0 && damaged.H > 0) Window->damage(FL_DAMAGE_ALL, damaged.X, damaged.Y, damaged.W, damaged.H);
}

void TFormWindow::resize(int x, int y, int w, int h) {
    bool sized = w != this->w() || h != this->h();
    Fl_Double_Window::resize(x, y, w, h);
    if (sized) {
        View.PlaceAll();
        redraw();
    }
}

// --- The renderer -------------------------------------------------------------

TFltkRenderer::TFltkRenderer() {
    Active = this;
    Fl::set_font(FL_HELVETICA, FontName);
    Fl::background(192, 192, 192);
    Fl::visible_focus(1);
    Fl_Tooltip::disable();
    Fl::event_dispatch(Dispatch);
    Fl_Window::default_icon(&WindowIcon());

    WNDCLASS pumpClass;
    pumpClass.lpfnWndProc = PumpProc;
    pumpClass.lpszClassName = PumpClassName;
    if (!GetClassInfo(PumpClassName, nullptr)) RegisterClass(&pumpClass);
    FPump = CreateWindowEx(0, PumpClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr);

    FXFd = ConnectionNumber(fl_display);
    Platform::WatchDescriptor(FXFd, POLLIN, [this](short) { FXReadable = true; });
    Platform::SetRoundHook([this] { Round(); });
}

TFltkRenderer::~TFltkRenderer() {
    Platform::SetRoundHook(nullptr);
    Platform::UnwatchDescriptor(FXFd);
    if (FPump) DestroyWindow(FPump);
    Fl::event_dispatch(nullptr);
    FViews.clear();
    if (Active == this) Active = nullptr;
}

TFormView* TFltkRenderer::ViewOf(const TForm* form) const {
    auto it = FViews.find(form);
    return it == FViews.end() ? nullptr : it->second.get();
}

TFormView* TFltkRenderer::ViewOf(const Fl_Window* window) const {
    for (auto& [form, view] : FViews) {
        if (view->Window == window) return view.get();
    }
    return nullptr;
}

TFormView* TFltkRenderer::MainView() const { return ViewOf(Application->MainForm); }

TFormView* TFltkRenderer::ActiveView() const {
    if (!FModal.empty()) return ViewOf(FModal.back());
    TFormView* main = MainView();
    return main && main->Form.Visible() ? main : nullptr;
}

bool TFltkRenderer::Blocked(const TFormView& view) const { return !FModal.empty() && FModal.back() != &view.Form; }

TFormView* TFltkRenderer::InputTarget(Fl_Window* window) const {
    if (!FModal.empty()) return ViewOf(FModal.back());
    return ViewOf(window);
}

void TFltkRenderer::Post(TFormView& view, std::function<void(TForm&)> action) {
    const TForm* form = &view.Form;
    std::uint64_t serial = view.Serial;
    ++view.PendingActions;
    Platform::PostCall([this, form, serial, action = std::move(action)] {
        if (Active != this) return;
        TFormView* current = ViewOf(form);
        if (!current || current->Serial != serial) return;
        --current->PendingActions;
        if (!current->Form.Visible() || Blocked(*current)) return;
        action(current->Form);
    });
}

void TFltkRenderer::Click(TFormView& view, TButton* button) {
    if (!view.Owns(button)) return;
    view.Form.SetFocus(button);
    Post(view, [&view, button](TForm&) {
        if (view.Owns(button)) button->Click();
    });
}

void TFltkRenderer::FormShown(TForm& form) {
    std::unique_ptr<TFormView>& slot = FViews[&form];
    if (!slot) slot = std::make_unique<TFormView>(*this, form, FNextSerial++);
    TFormView& view = *slot;
    TFormWindow& window = *view.Window;
    view.SyncAll();
    window.copy_label(form.Caption().c_str());
    int w, h;
    view.WantedSize(w, h);
    window.size(w, h);
    if (form.DialogFrame) {
        window.size_range(w, h, w, h);
    } else {
        window.size_range(MinWindowWidth, MinWindowHeight);
    }
    if (form.Centered) {
        int sx, sy, sw, sh;
        Fl::screen_xywh(sx, sy, sw, sh, 0);
        window.position(sx + (sw - w) / 2, sy + (sh - h) / 2);
    }
    if (&form == Application->MainForm) ApplyTitle(view);
    if (form.Modal()) {
        window.set_modal();
        std::erase(FModal, &form);
        FModal.push_back(&form);
    } else {
        window.clear_modal_states();
    }
    view.Iconic = false;
    view.IconifyOnMap = false;
    if (!window.shown()) view.Mapped = false;
    window.show();
    FocusWhenMapped(&form);
    SyncFocus();
    ScheduleCheck();
}

void TFltkRenderer::FormHidden(TForm& form) {
    std::erase(FModal, &form);
    TFormView* view = ViewOf(&form);
    if (!view) return;
    view->Window->hide();
    view->Iconic = false;
    view->Mapped = false;
    view->IconifyOnMap = false;
    if (FFocusOnMap == &form) FFocusOnMap = nullptr;
    // The form below takes the keyboard back.
    if (TFormView* next = ActiveView()) {
        FocusWhenMapped(&next->Form);
        SyncFocus();
    }
    ScheduleCheck();
}

void TFltkRenderer::FormDestroyed(TForm& form) {
    std::erase(FModal, &form);
    if (FFocusOnMap == &form) FFocusOnMap = nullptr;
    FViews.erase(&form);
    ScheduleCheck();
}

void TFltkRenderer::ControlChanged(TControl& control) {
    TFormView* view = ViewOf(control.Form());
    if (!view) return;
    TLinked* link = view->Find(&control);
    if (!link) return;
    view->SyncControl(*link);
    if (&control == control.Form()->ActiveControl() && !control.CanFocus()) SyncFocus();
    ScheduleCheck();
}

void TFltkRenderer::FormChanged(TForm& form) {
    TFormView* view = ViewOf(&form);
    if (!view) return;
    TFormWindow& window = *view->Window;
    if (!window.label() || form.Caption() != window.label()) window.copy_label(form.Caption().c_str());
    int w, h;
    view->WantedSize(w, h);
    if (w != window.w() || h != window.h()) {
        window.size(w, h);
        // FLTK fixes the size of a window without a resizable widget that
        // the program resizes; the frame stays sizeable unless a dialog's.
        if (form.DialogFrame) {
            window.size_range(w, h, w, h);
        } else {
            window.size_range(MinWindowWidth, MinWindowHeight);
        }
    }
    SyncFocus();
    ScheduleCheck();
}

void TFltkRenderer::TitleChanged(const std::string& title) {
    FTitle = title;
    if (TFormView* main = MainView()) ApplyTitle(*main);
    ScheduleCheck();
}

// The application's title is what the desktop shows for the program: the
// main window's icon name and its window class.
void TFltkRenderer::ApplyTitle(TFormView& view) {
    TFormWindow& window = *view.Window;
    // FLTK keeps the pointer, not a copy, so the text lives in FTitle.
    window.iconlabel(FTitle.c_str());
    if (!window.shown()) {
        window.xclass(FTitle.c_str());
        return;
    }
    XClassHint hint;
    std::string name = FTitle;
    hint.res_name = name.data();
    hint.res_class = name.data();
    XSetClassHint(fl_display, fl_xid(&window), &hint);
}

// A window manager is running when some client redirects the root window's
// substructure; only a window manager does that.
bool TFltkRenderer::HasWindowManager() const {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(fl_display, RootWindow(fl_display, fl_screen), &attributes)) return false;
    return (attributes.all_event_masks & SubstructureRedirectMask) != 0;
}

void TFltkRenderer::SetWmState(TFormView& view, long state) const {
    if (!view.Window->shown()) return;
    Atom wmState = XInternAtom(fl_display, "WM_STATE", False);
    long data[2] = {state, 0};
    XChangeProperty(fl_display, fl_xid(view.Window), wmState, wmState, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(data), 2);
}

// With a window manager the window is iconified the ICCCM way and the
// manager unmaps it. Without one nobody would, so the window is unmapped
// here and marked iconic as a manager would have marked it.
void TFltkRenderer::Minimized() {
    TFormView* main = MainView();
    if (!main) return;
    TFormWindow& window = *main->Window;
    if (!main->Form.Visible() || !window.shown()) return;
    main->Iconic = true;
    main->SeenUnmapped = false;
    if (HasWindowManager()) {
        // A manager ignores the request for a window it does not manage yet.
        if (main->Mapped) {
            window.iconize();
        } else {
            main->IconifyOnMap = true;
        }
    } else {
        XUnmapWindow(fl_display, fl_xid(&window));
        SetWmState(*main, IconicState);
    }
    if (FFocusOnMap == &main->Form) FFocusOnMap = nullptr;
    ScheduleCheck();
}

void TFltkRenderer::Restored() {
    TFormView* main = MainView();
    if (!main || !main->Form.Visible()) return;
    main->Iconic = false;
    main->IconifyOnMap = false;
    main->Window->show();
    if (!HasWindowManager()) SetWmState(*main, NormalState);
    if (!Blocked(*main)) FocusWhenMapped(&main->Form);
    ScheduleCheck();
}

// FLTK's focus follows the model's ActiveControl in the form that has the
// keyboard. FLTK may move its focus on its own (a window that gets the
// focus picks its first child), so this runs after every check too.
void TFltkRenderer::SyncFocus() {
    TFormView* view = ActiveView();
    // FLTK raises a window whose widget takes the focus (it maps it without
    // a window manager), so a minimised window is left alone.
    if (!view || view->Iconic || !view->Window->shown() || !view->Window->visible() || Fl::pushed()) return;
    TControl* active = view->Form.ActiveControl();
    TLinked* link = active && active->CanFocus() ? view->Find(active) : nullptr;
    if (!link) return;
    Fl_Widget& wanted = link->FocusWidget();
    if (Fl::focus() != &wanted) wanted.take_focus();
}

// Without a window manager nobody gives a new window the keyboard; the
// focus can only be set once the window is viewable.
void TFltkRenderer::FocusWindowWhenMapped() {
    if (!FFocusOnMap) return;
    TFormView* view = ViewOf(FFocusOnMap);
    if (!view || !view->Window->shown() || Blocked(*view) || GetTickCount64() > FFocusOnMapUntil) {
        FFocusOnMap = nullptr;
        return;
    }
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(fl_display, fl_xid(view->Window), &attributes)) return;
    if (attributes.map_state != IsViewable) return;
    FFocusOnMap = nullptr;
    if (!HasWindowManager()) XSetInputFocus(fl_display, fl_xid(view->Window), RevertToPointerRoot, CurrentTime);
}

// Once per dispatch round. A readable X descriptor means events to handle
// now; anything else FLTK holds (drawing, events Xlib has already read,
// requests not yet sent) waits for the next check, at most CheckPeriodMs.
void TFltkRenderer::Round() {
    if (FInCheck) return;
    bool waiting = FCheckWanted || FFocusOnMap || Fl::damage() || XQLength(fl_display) > 0;
    if (FXReadable || (waiting && GetTickCount64() - FLastCheck >= CheckPeriodMs)) {
        RunCheck();
    } else if (waiting) {
        ArmTimer();
    }
}

void TFltkRenderer::RunCheck() {
    FXReadable = false;
    FCheckWanted = false;
    FInCheck = true;
    Fl::check();
    for (int i = 1; i < MaxChecksInRow && XQLength(fl_display) > 0; ++i) Fl::check();
    FInCheck = false;
    FLastCheck = GetTickCount64();
    SyncFocus();
    FocusWindowWhenMapped();
    if (Fl::damage() || XQLength(fl_display) > 0 || FFocusOnMap) {
        FCheckWanted = true;
        ArmTimer();
    }
}

// The loop sleeps in poll() when nothing else happens, so a check that is
// due later needs a timer to wake it.
void TFltkRenderer::ArmTimer() {
    if (FTimerArmed || !FPump) return;
    std::uint64_t since = GetTickCount64() - FLastCheck;
    UINT wait = since >= CheckPeriodMs ? 1 : static_cast<UINT>(CheckPeriodMs - since);
    SetTimer(FPump, PumpTimerId, wait, nullptr);
    FTimerArmed = true;
}

LRESULT TFltkRenderer::PumpProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_TIMER || !Active) return DefWindowProc(window, message, wParam, lParam);
    KillTimer(window, PumpTimerId);
    Active->FTimerArmed = false;
    Active->FCheckWanted = true;
    if (!Active->FInCheck) Active->RunCheck();
    return 0;
}

// Every event FLTK takes from X passes here before FLTK's own handling.
// Keys are the model's business; the close box asks the form; windows
// below a modal form take no input.
int TFltkRenderer::Dispatch(int event, Fl_Window* window) {
    TFltkRenderer* self = Active;
    TFormView* view = self && window ? self->ViewOf(window) : nullptr;
    if (!view) return Fl::handle_(event, window);
    switch (event) {
        case FL_KEYBOARD: {
            TFormView* target = self->InputTarget(window);
            return target ? self->HandleKey(*target, window) : 1;
        }
        case FL_SHORTCUT:
        case FL_KEYUP:
            return 1;
        case FL_PUSH:
        case FL_RELEASE:
        case FL_DRAG:
        case FL_MOUSEWHEEL:
        case FL_DND_ENTER:
        case FL_DND_DRAG:
        case FL_DND_RELEASE:
        case FL_PASTE:
            if (self->Blocked(*view)) return 1;
            return Fl::handle_(event, window);
        case FL_CLOSE:
            if (!self->Blocked(*view)) self->Post(*view, [](TForm& form) { form.Close(); });
            return 1;
        case FL_SHOW: {
            int handled = Fl::handle_(event, window);
            view->Mapped = true;
            if (view->IconifyOnMap) {
                view->IconifyOnMap = false;
                view->Window->iconize();
                self->ScheduleCheck();
                return handled;
            }
            // Mapped again after we minimised it and saw it go: the user
            // restored it (a task bar, or a map request without a manager).
            if (view->Iconic && view->SeenUnmapped) {
                view->Iconic = false;
                Platform::PostCall([] {
                    if (Application->Minimized()) Application->Restore();
                });
            }
            self->ScheduleCheck();
            return handled;
        }
        case FL_HIDE:
            view->Mapped = false;
            if (view->Iconic) view->SeenUnmapped = true;
            return Fl::handle_(event, window);
        default:
            return Fl::handle_(event, window);
    }
}

// Enter, Escape, Tab and the access keys go to the form as the model's key
// calls. Typing reaches the spin edit when it has the focus; FLTK's own
// keyboard handling (navigation, shortcuts, Escape closing a window) never
// runs for our windows.
int TFltkRenderer::HandleKey(TFormView& view, Fl_Window* window) {
    int key = Fl::event_key();
    bool alt = Fl::event_state(FL_ALT) != 0;
    bool ctrl = Fl::event_state(FL_CTRL | FL_META) != 0;
    if (view.PendingActions > 0) return 1;
    Fl_Widget* focus = Fl::focus();
    TSpinWidget* spin = nullptr;
    TButtonWidget* button = nullptr;
    for (TLinked* link : view.Widgets) {
        if (auto* candidate = dynamic_cast<TSpinWidget*>(link); candidate && focus == candidate->Input) spin = candidate;
        if (auto* candidate = dynamic_cast<TButtonWidget*>(link); candidate && focus == candidate) button = candidate;
    }
    if (key == FL_Enter || key == FL_KP_Enter) {
        Post(view, [](TForm& form) { form.KeyEnter(); });
        return 1;
    }
    if (key == FL_Escape) {
        Post(view, [](TForm& form) { form.KeyEscape(); });
        return 1;
    }
    if (key == FL_Tab) {
        bool backwards = Fl::event_state(FL_SHIFT) != 0;
        view.Form.FocusNext(backwards);
        return 1;
    }
    if (spin && (key == FL_Up || key == FL_Down)) {
        int steps = key == FL_Up ? 1 : -1;
        static_cast<TSpinEdit*>(spin->Control)->StepBy(steps);
        return 1;
    }
    bool letter = (key >= 'a' && key <= 'z') || (key >= '0' && key <= '9');
    if (letter && !ctrl && (alt || !spin)) {
        char access = static_cast<char>(key);
        bool known = std::any_of(view.Widgets.begin(), view.Widgets.end(), [access](TLinked* link) {
            auto* candidate = dynamic_cast<TButton*>(link->Control);
            return candidate && candidate->AccessKey() == access && candidate->CanFocus();
        });
        if (known) Post(view, [access](TForm& form) { form.KeyAccess(access); });
        return 1;
    }
    if (button && key == ' ' && !alt && !ctrl) {
        Click(view, static_cast<TButton*>(button->Control));
        return 1;
    }
    if (spin) return Fl::handle_(FL_KEYBOARD, window);
    return 1;
}

}  // namespace

// The display is opened with Xlib first: FLTK's own opening ends the
// process when there is no display. An X server busy with clients coming
// and going now and then drops a new connection at once; errno does not
// tell that from a display that is not there (Xlib reads its authority
// file after connecting), so a named display gets a few more tries.
//
// This is the window module's entry point, looked up by name when the
// program loads the module; nullptr when no display can be opened.
extern "C" TRenderer* TavixCreateWindowRenderer() {
    if (fl_display) return new TFltkRenderer();
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return nullptr;
    Display* display = XOpenDisplay(name);
    for (int attempt = 1; attempt < DisplayOpenAttempts && !display; ++attempt) {
        Sleep(static_cast<DWORD>(DisplayRetryMs * attempt));
        display = XOpenDisplay(name);
    }
    if (!display) return nullptr;
    fl_open_display(display);
    return new TFltkRenderer();
}
