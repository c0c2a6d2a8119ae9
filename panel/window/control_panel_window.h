#pragma once

#include "panel/toolkit_services.h"
#include "sysinfo/registry.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMainWindow>

#include <array>
#include <functional>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;

// A bit box: a two-character text box that reports a click.
class BitBox : public QLineEdit {
    Q_OBJECT

public:
    explicit BitBox(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// A check box the panel may grey (value 2) while a user's click only ever
// toggles between checked and unchecked.
class ModeCheckBox : public QCheckBox {
    Q_OBJECT

public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override;
    // The whole box takes the click, not just the indicator and caption.
    bool hitButton(const QPoint &pos) const override { return rect().contains(pos); }
};

// A frame that reports clicks on itself and on its disabled children.
class ClickableFrame : public QGroupBox {
    Q_OBJECT

public:
    using QGroupBox::QGroupBox;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// The panel's one window: its controls, laid out as drawn, and the toolkit
// services through which the panel's logic reaches them.
class QuorvexControlPanel : public QMainWindow, public ToolkitServices {
    Q_OBJECT

public:
    explicit QuorvexControlPanel(QWidget *parent = nullptr);

    void setEvents(ToolkitEvents *events) { m_events = events; }

    // Shows messages somewhere other than a modal box, for tests.
    using MessagePresenter = std::function<void(const QString &)>;
    void setMessagePresenter(MessagePresenter presenter) {
        m_presentMessage = std::move(presenter);
    }

    // Runs the window's load event; main calls it before showing the window.
    void load();

    // Runs an event's handler as the window runs its own: the panel's logic
    // handles it, and the window is busy meanwhile.
    void handle(const std::function<void(ToolkitEvents &)> &event);

    // Whether a handler runs, or a message box is open: work from outside the
    // window (a remote command) waits until neither is so, never running
    // nested in them. idle() says when that wait is over, and when a box
    // opens, during which the queries may run.
    bool busy() const { return m_busy > 0; }
    // Whether a message box is open (and waits for the person).
    bool boxOpen() const { return m_boxes > 0; }

    // Shows text to the person in a message box once no handler runs: a
    // message that no action of a script's caused (a trace that stopped),
    // which therefore never becomes a script's error.
    void tellPerson(const QString &text);

    // Runs work with the messages the window would show collected instead,
    // and returns them.
    QStringList collectingMessages(const std::function<void()> &work);

    // Pins the look the fixed layout was drawn for, whatever the desktop
    // offers: Qt's classic "Windows" style and the layout's fonts. Call it
    // once the application object exists and before any window is built.
    static void installLook();

    // Loads the fonts the layout was drawn with (or their metric twins) from
    // fontFolder; says on stderr which package to install when they are missing.
    static void installFonts(const QString &fontFolder = QStringLiteral("/usr/share/wine/fonts"));
    static QIcon panelIcon();

    QString boxText(int index) const override;
    void setBoxText(int index, const QString &text) override;
    QString readoutText(Readout readout) const override;
    void setReadoutText(Readout readout, const QString &text) override;
    int checkValue(int index) const override;
    void setCheckValue(int index, int value) override;
    void setCheckEnabled(int index, bool enabled) override;
    int sliderPosition() const override;
    void setSliderPosition(int position) override;
    int sliderTickCount() const override;
    bool sliderEnabled() const override;
    void setSliderEnabled(bool enabled) override;
    void setScaleLabelEnabled(int index, bool enabled) override;
    void setUpdateEnabled(bool enabled) override;
    void setTitle(const QString &title) override;
    void yield() override;
    void showMessage(const QString &text) override;

    // The controls, by the names and indices the panel knows them by.
    BitBox *Text1(int index) const { return m_Text1.at(std::size_t(index)); }
    QLabel *label4(int index) const { return m_label4.at(std::size_t(index - 16)); }
    ModeCheckBox *softMode(int index) const { return m_softMode.at(std::size_t(index)); }
    QLabel *Scalelabel(int index) const { return m_Scalelabel.at(std::size_t(index)); }
    QSlider *GainSlider() const { return m_GainSlider; }
    ClickableFrame *Gaincontrol() const { return m_Gaincontrol; }
    QGroupBox *SoftMC() const { return m_SoftMC; }
    QGroupBox *ManControl() const { return m_ManControl; }
    QGroupBox *SDI() const { return m_SDI; }
    QGroupBox *SDO() const { return m_SDO; }
    QLineEdit *readout(Readout which) const { return m_readouts.at(std::size_t(which)); }
    QPushButton *Update() const { return m_Update; }
    QPushButton *Clear() const { return m_Clear; }
    QMenu *PCInterface() const { return m_PCInterface; }
    QAction *LPT(int preset) const { return m_LPT.at(std::size_t(preset)); }
    QAction *systemInfo() const { return m_systemInfo; }
    QAction *menuabout() const { return m_menuabout; }

    static constexpr int TickCount = 19;

    // The system-information launcher: finds the tool through the registry
    // and starts it, or says it is unavailable. Never fails towards its caller.
    void StartSysInfo();
    bool GetKeyValue(HKEY &KeyRoot, QString &KeyName, QString &SubKeyRef, QString &KeyVal);

    // The registry the launcher looks the tool up in; the program owns it.
    // Without one, System Info is unavailable.
    void setRegistry(Registry &registry) { m_registry = &registry; }

signals:
    void idle();

private slots:
    void systemInfo_Click();
    void showNotices();

private:
    void buildModeFrame(QWidget *client);
    void buildGainFrame(QWidget *client);
    void buildManualFrame(QWidget *client);
    void buildBitRow(QGroupBox *row, int firstBox, int firstLabel, bool sdoCaptions);
    void buildMenus();
    void setTabOrder();

    // Runs a handler only once the panel's logic is attached.
    template <typename Handler> void dispatch(Handler &&handler);

    ToolkitEvents *m_events = nullptr;
    MessagePresenter m_presentMessage;
    QStringList *m_collected = nullptr;
    int m_busy = 0;
    int m_boxes = 0;
    QStringList m_notices; // for the person, once no handler runs
    Registry *m_registry = nullptr;

    std::array<BitBox *, 32> m_Text1{};
    std::array<QLabel *, 32> m_label4{};
    std::array<ModeCheckBox *, 8> m_softMode{};
    std::array<QLabel *, 19> m_Scalelabel{};
    std::array<QLineEdit *, 4> m_readouts{};
    std::array<QAction *, 3> m_LPT{};
    QSlider *m_GainSlider = nullptr;
    QGroupBox *m_SoftMC = nullptr;
    ClickableFrame *m_Gaincontrol = nullptr;
    QGroupBox *m_ManControl = nullptr;
    QGroupBox *m_SDI = nullptr;
    QGroupBox *m_SDO = nullptr;
    QPushButton *m_Update = nullptr;
    QPushButton *m_Clear = nullptr;
    QMenu *m_PCInterface = nullptr;
    QAction *m_systemInfo = nullptr;
    QAction *m_menuabout = nullptr;
};
