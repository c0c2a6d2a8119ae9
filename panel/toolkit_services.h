#pragma once

#include <QString>

// The few window operations the panel's logic uses. The Qt window implements
// them for real; tests use an in-memory double. Nothing outside panel/ sees a
// widget, so the port, frame and control-word code runs without a display.

// The read-out text boxes, addressed by the names the window gives them.
enum class Readout { SDIText, SDOText, GainText, dB };

// Check box values.
inline constexpr int Unchecked = 0;
inline constexpr int Checked = 1;
inline constexpr int Greyed = 2;

// The window's events. Handlers run one at a time on the UI thread; setting a
// check box value or the slider position to a different value raises the
// matching event before the setter returns.
class ToolkitEvents {
public:
    virtual ~ToolkitEvents() = default;

    virtual void load() = 0;
    virtual void clearClicked() = 0;
    virtual void updateClicked() = 0;
    virtual void bitBoxClicked(int index) = 0;
    virtual void modeBitClicked(int index) = 0;
    virtual void gainSliderChanged() = 0;
    virtual void Gaincontrol_click() = 0;
    virtual void portPresetChosen(int preset) = 0;
    virtual void aboutChosen() = 0;
};

class ToolkitServices {
public:
    virtual ~ToolkitServices() = default;

    // Bit boxes Text1(0..31).
    virtual QString boxText(int index) const = 0;
    virtual void setBoxText(int index, const QString &text) = 0;

    virtual QString readoutText(Readout readout) const = 0;
    virtual void setReadoutText(Readout readout, const QString &text) = 0;

    // Check boxes softMode(0..7): Unchecked, Checked or Greyed.
    virtual int checkValue(int index) const = 0;
    virtual void setCheckValue(int index, int value) = 0;
    virtual void setCheckEnabled(int index, bool enabled) = 0;

    virtual int sliderPosition() const = 0;
    virtual void setSliderPosition(int position) = 0;
    virtual int sliderTickCount() const = 0;
    virtual bool sliderEnabled() const = 0;
    virtual void setSliderEnabled(bool enabled) = 0;

    // Scalelabel(0..18).
    virtual void setScaleLabelEnabled(int index, bool enabled) = 0;
    virtual void setUpdateEnabled(bool enabled) = 0;

    virtual void setTitle(const QString &title) = 0;

    // Runs every window event already pending, nested in the caller.
    virtual void yield() = 0;

    // Modal box with the text, one OK button, no icon, caption "QuorvexEVM".
    virtual void showMessage(const QString &text) = 0;
};

inline constexpr char ApplicationTitle[] = "QuorvexEVM";
