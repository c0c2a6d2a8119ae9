#include "panel/window/control_panel_window.h"
#include "support/event_log.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTest>

#include <cmath>

namespace {

// Runs of columns with ink in any of the rows first..last, as [begin, end):
// ink is anything darker than the light ground the controls are drawn on.
QList<QPair<int, int>> inkRuns(const QImage &image, int first, int last) {
    QList<QPair<int, int>> runs;
    for (int x = 0; x < image.width(); ++x) {
        bool ink = false;
        for (int y = first; y <= last && !ink; ++y)
            ink = qGray(image.pixel(x, y)) < 200;
        if (ink && !runs.isEmpty() && runs.last().second == x)
            ++runs.last().second;
        else if (ink)
            runs.append({x, x + 1});
    }
    return runs;
}

double relativeLuminance(QRgb rgb) {
    const auto linear = [](int channel) {
        const double v = channel / 255.0;
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(rgb)) + 0.7152 * linear(qGreen(rgb)) + 0.0722 * linear(qBlue(rgb));
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QuorvexControlPanel::installLook(); }
    void init();
    void cleanup();

    void controlArrays();
    void captions_data();
    void captions();
    void geometry_data();
    void geometry();
    void captionsFitTheirControls();
    void initialStates();
    void menus();
    void tabOrder();
    void sliderTicksAndSteps_data();
    void sliderTicksAndSteps();
    void clicksRaiseTheirEvents();
    void disabledControlsRaiseNothing();
    void clickOnDisabledSliderReachesGainFrame();
    void labelsInGainFrameKeepTheirClicks_data();
    void labelsInGainFrameKeepTheirClicks();
    void scaleLabelsStandUnderTheirTicks();
    void readoutsReadClearly();
    void missingFontsNameThePackage();
    void greyedCheckBoxTogglesOnClick();

private:
    QuorvexControlPanel *m_window = nullptr;
    EventLog m_log;
};

void WindowTest::init() {
    m_window = new QuorvexControlPanel;
    m_log.events.clear();
    m_window->setEvents(&m_log);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void WindowTest::cleanup() {
    delete m_window;
}

void WindowTest::controlArrays() {
    QuorvexControlPanel &w = *m_window;
    for (int i = 0; i < 32; ++i)
        QCOMPARE(w.findChild<QLineEdit *>(QStringLiteral("Text1(%1)").arg(i)), w.Text1(i));
    for (int i = 16; i < 48; ++i)
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("label4(%1)").arg(i)), w.label4(i));
    for (int i = 0; i < 8; ++i)
        QCOMPARE(w.findChild<QCheckBox *>(QStringLiteral("softMode(%1)").arg(i)), w.softMode(i));
    for (int i = 0; i < 19; ++i)
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("Scalelabel(%1)").arg(i)), w.Scalelabel(i));

    QCOMPARE(w.findChildren<BitBox *>().size(), 32);
    QCOMPARE(w.findChildren<QCheckBox *>().size(), 8);
    QCOMPARE(w.findChildren<QSlider *>().size(), 1);
    QCOMPARE(w.findChildren<QPushButton *>().size(), 2);

    // Containment: SDI boxes and labels in SDI, SDO ones in SDO.
    for (int k = 0; k < 16; ++k) {
        QCOMPARE(w.Text1(k)->parentWidget(), w.SDI());
        QCOMPARE(w.Text1(16 + k)->parentWidget(), w.SDO());
        QCOMPARE(w.label4(16 + k)->parentWidget(), w.SDI());
        QCOMPARE(w.label4(32 + k)->parentWidget(), w.SDO());
    }
    QCOMPARE(w.GainSlider()->parentWidget(), w.Gaincontrol());
    QCOMPARE(w.softMode(7)->parentWidget(), w.SoftMC());
    QCOMPARE(w.SDI()->parentWidget(), w.ManControl());
}

void WindowTest::captions_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("text");
    QTest::newRow("frame SoftMC") << "SoftMC"
                                  << "Soft Mode Control";
    QTest::newRow("frame Gaincontrol has the same caption") << "Gaincontrol"
                                                            << "Soft Mode Control";
    QTest::newRow("frame ManControl") << "ManControl"
                                      << "Manual Control";
    QTest::newRow("frame SDI has none") << "SDI"
                                        << "";
    QTest::newRow("GPO4") << "softMode(7)"
                          << "GPO4";
    QTest::newRow("CM Servo Enable") << "softMode(1)"
                                     << "CM Servo Enable";
    QTest::newRow("Over Range note") << "Label5"
                                     << "[ 0= -1dB, 1= -3dB ]";
    QTest::newRow("Update has a leading space") << "Update"
                                                << " Update";
    QTest::newRow("Clear") << "Clear"
                           << "Clear";
    QTest::newRow("dB read-out") << "dB"
                                 << " 0";
    QTest::newRow("gain read-out design text") << "GainText"
                                               << "         xxH";
    QTest::newRow("SDI read-out: nineteen spaces") << "SDIText" << QString(19, ' ');
    QTest::newRow("SDO read-out: one space") << "SDOText"
                                             << " ";
    QTest::newRow("GainData label") << "Label1"
                                    << "GainData";
    QTest::newRow("slider's right end") << "Label2"
                                        << "dB";
    QTest::newRow("scale 0") << "Scalelabel(0)"
                             << "0";
    QTest::newRow("scale 1") << "Scalelabel(1)"
                             << "9";
    QTest::newRow("scale 2") << "Scalelabel(2)"
                             << "12";
    QTest::newRow("scale 18") << "Scalelabel(18)"
                              << "60";
    QTest::newRow("SDI label over bit 12") << "label4(28)"
                                           << "OR";
    QTest::newRow("SDO label over bit 12") << "label4(44)"
                                           << "OL";
    QTest::newRow("SDI label over bit 7") << "label4(23)"
                                          << "0";
    QTest::newRow("SDO label over bit 6") << "label4(38)"
                                          << "0";
    QTest::newRow("SDI label over bit 15") << "label4(31)"
                                           << "DC";
    QTest::newRow("SDO label over bit 8") << "label4(40)"
                                          << "D1";
    QTest::newRow("bit box starts at 0") << "Text1(9)"
                                         << " 0";
    QTest::newRow("SDO bit box starts at 0") << "Text1(31)"
                                             << " 0";
}

void WindowTest::captions() {
    QFETCH(QString, control);
    QFETCH(QString, text);

    QWidget *widget = m_window->findChild<QWidget *>(control);
    QVERIFY2(widget, qPrintable(control));
    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        QCOMPARE(edit->text(), text);
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), text);
    else if (auto *frame = qobject_cast<QGroupBox *>(widget))
        QCOMPARE(frame->title(), text);
    else
        QFAIL("no text to compare");
}

void WindowTest::geometry_data() {
    // A sample from every container, in pixels of 15 twips.
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("rect");
    QTest::newRow("SoftMC on the client area") << "SoftMC" << QRect(8, 16, 137, 329);
    QTest::newRow("Gaincontrol on the client area") << "Gaincontrol" << QRect(160, 16, 601, 121);
    QTest::newRow("ManControl on the client area") << "ManControl" << QRect(160, 144, 601, 201);
    QTest::newRow("softMode(4) in SoftMC") << "softMode(4)" << QRect(8, 192, 113, 25);
    QTest::newRow("GainSlider in Gaincontrol") << "GainSlider" << QRect(23, 56, 553, 33);
    QTest::newRow("Update in ManControl") << "Update" << QRect(232, 16, 129, 25);
    QTest::newRow("SDO in ManControl") << "SDO" << QRect(32, 128, 537, 65);
    QTest::newRow("Text1(15) leftmost in SDI") << "Text1(15)" << QRect(16, 32, 22, 24);
    QTest::newRow("Text1(16) rightmost in SDO") << "Text1(16)" << QRect(496, 32, 22, 24);
    QTest::newRow("Line2 along the left edge") << "Line2" << QRect(16, 0, 1, 33);
}

void WindowTest::geometry() {
    QFETCH(QString, control);
    QFETCH(QRect, rect);
    QWidget *widget = m_window->findChild<QWidget *>(control);
    QVERIFY2(widget, qPrintable(control));
    QCOMPARE(widget->geometry(), rect);
}

void WindowTest::captionsFitTheirControls() {
    // Nothing clipped: every label's caption fits the width it was given.
    for (QLabel *label : m_window->findChildren<QLabel *>()) {
        const int needed = QFontMetrics(label->font()).horizontalAdvance(label->text());
        QVERIFY2(needed <= label->width(), qPrintable(QStringLiteral("%1: %2 > %3")
                                                          .arg(label->objectName())
                                                          .arg(needed)
                                                          .arg(label->width())));
    }
    QCOMPARE(m_window->centralWidget()->size(), QSize(770, 355));
    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!m_window->windowIcon().pixmap(32, 32).isNull());
}

void WindowTest::initialStates() {
    QuorvexControlPanel &w = *m_window;
    QCOMPARE(w.windowTitle(), "Kestrovia Quorvex");
    QVERIFY(!w.SDO()->isEnabled());
    QVERIFY(!w.Update()->isEnabled());
    QVERIFY(!w.Text1(6)->isEnabled());
    QVERIFY(!w.Text1(7)->isEnabled());
    for (Readout readout : {Readout::SDIText, Readout::SDOText, Readout::GainText, Readout::dB})
        QVERIFY(!w.readout(readout)->isEnabled());
    for (int k = 16; k < 32; ++k) {
        QVERIFY(w.Text1(k)->isEnabledTo(w.SDO()));
        QVERIFY(!w.Text1(k)->isEnabled());
    }
    for (int k : {0, 5, 8, 15})
        QVERIFY(w.Text1(k)->isEnabled());
    for (int i = 0; i < 8; ++i) {
        QVERIFY(w.softMode(i)->isEnabled());
        QCOMPARE(w.checkValue(i), Unchecked);
    }
    QVERIFY(w.sliderEnabled());
    QCOMPARE(w.sliderPosition(), 0);
    QVERIFY(w.Clear()->isEnabled());
    QCOMPARE(w.Text1(3)->maxLength(), 2);
    QVERIFY(!w.Text1(3)->isReadOnly());
}

void WindowTest::menus() {
    const QList<QAction *> bar = m_window->menuBar()->actions();
    QCOMPARE(bar.size(), 3);
    QCOMPARE(bar[0]->text(), "&PC Interface");
    QCOMPARE(bar[0]->menu(), m_window->PCInterface());
    QCOMPARE(bar[1], m_window->systemInfo());
    QCOMPARE(bar[1]->text(), "&System Info");
    QVERIFY(!bar[1]->menu());
    QCOMPARE(bar[2], m_window->menuabout());
    QCOMPARE(bar[2]->text(), "&About");
    QCOMPARE(m_window->PCInterface()->font(), m_window->softMode(0)->font());

    const QStringList presets{"LPT1 (378h)", "LPT2 (278h)", "LPT3 (3BCh)"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(m_window->LPT(i)->text(), presets[i]);
        QVERIFY(!m_window->LPT(i)->isCheckable());
        m_window->LPT(i)->trigger();
    }
    m_window->menuabout()->trigger();
    QCOMPARE(m_log.events, QStringList({"LPT1", "LPT2", "LPT3", "menuabout"}));
}

void WindowTest::tabOrder() {
    QuorvexControlPanel &w = *m_window;
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(QApplication::focusWidget(), w.softMode(0));

    QList<QWidget *> expected;
    for (int i = 1; i < 8; ++i)
        expected << w.softMode(i);
    expected << w.GainSlider() << w.Clear();
    for (int k = 0; k < 16; ++k) {
        if (k != 6 && k != 7)
            expected << w.Text1(k);
    }
    expected << w.softMode(0);
    for (QWidget *next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }

    // Update takes its place between the slider and Clear while enabled.
    w.setUpdateEnabled(true);
    w.GainSlider()->setFocus();
    QTest::keyClick(w.GainSlider(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.Update());
}

void WindowTest::sliderTicksAndSteps_data() {
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("end");
    QTest::newRow("right arrow") << 5 << int(Qt::Key_Right) << 6;
    QTest::newRow("left arrow") << 5 << int(Qt::Key_Left) << 4;
    QTest::newRow("page up") << 5 << int(Qt::Key_PageUp) << 6;
    QTest::newRow("page down") << 5 << int(Qt::Key_PageDown) << 4;
    QTest::newRow("stops at 18") << 18 << int(Qt::Key_Right) << 18;
    QTest::newRow("stops at 0") << 0 << int(Qt::Key_PageDown) << 0;
}

void WindowTest::sliderTicksAndSteps() {
    QFETCH(int, start);
    QFETCH(int, key);
    QFETCH(int, end);

    QCOMPARE(m_window->sliderTickCount(), 19);
    m_window->setSliderPosition(start);
    m_log.events.clear();
    QTest::keyClick(m_window->GainSlider(), Qt::Key(key));
    QCOMPARE(m_window->sliderPosition(), end);
    QCOMPARE(m_log.events.size(), start == end ? 0 : 1);

    // A click on the groove, far to the right, moves one position, not to it.
    m_window->setSliderPosition(start);
    QSlider *slider = m_window->GainSlider();
    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->width() - 3, 12));
    QCOMPARE(m_window->sliderPosition(), qMin(start + 1, 18));
}

void WindowTest::clicksRaiseTheirEvents() {
    QuorvexControlPanel &w = *m_window;
    QTest::mouseClick(w.Text1(0), Qt::LeftButton);
    QTest::mouseClick(w.Text1(15), Qt::LeftButton);
    QTest::mouseClick(w.softMode(5), Qt::LeftButton);
    QTest::mouseClick(w.Clear(), Qt::LeftButton);
    w.setUpdateEnabled(true);
    QTest::mouseClick(w.Update(), Qt::LeftButton);
    QTest::mouseClick(w.Gaincontrol(), Qt::LeftButton, {}, QPoint(300, 20));
    // Code that changes a check box raises its click too; the same value does not.
    w.setCheckValue(2, Checked);
    w.setCheckValue(2, Checked);
    w.setSliderPosition(7);
    w.setSliderPosition(7);
    QCOMPARE(m_log.events, QStringList({"Text1(0)", "Text1(15)", "softMode(5)", "Clear", "Update",
                                        "Gaincontrol", "softMode(2)", "GainSlider"}));
}

void WindowTest::disabledControlsRaiseNothing() {
    QuorvexControlPanel &w = *m_window;
    for (int k : {6, 7, 16, 23, 31})
        QTest::mouseClick(w.Text1(k), Qt::LeftButton);
    QTest::mouseClick(w.Update(), Qt::LeftButton);
    w.setCheckEnabled(3, false);
    QTest::mouseClick(w.softMode(3), Qt::LeftButton);
    QCOMPARE(m_log.events, QStringList());
    QCOMPARE(w.checkValue(3), Unchecked);
    for (int k = 16; k < 32; ++k)
        QCOMPARE(w.boxText(k), " 0");
}

void WindowTest::clickOnDisabledSliderReachesGainFrame() {
    QuorvexControlPanel &w = *m_window;
    w.setSliderEnabled(false);
    w.setScaleLabelEnabled(4, false);
    QTest::mouseClick(w.GainSlider(), Qt::LeftButton);
    QTest::mouseClick(w.Scalelabel(4), Qt::LeftButton);
    QCOMPARE(m_log.events, QStringList({"Gaincontrol", "Gaincontrol"}));
    QCOMPARE(w.sliderPosition(), 0);
}

void WindowTest::labelsInGainFrameKeepTheirClicks_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QStringList>("events");
    for (const char *label : {"LabelGain", "LabeldB", "Label1", "Label2", "Label3"})
        QTest::newRow(label) << label << QStringList();
    QTest::newRow("the frame itself") << "Gaincontrol" << QStringList{"Gaincontrol"};
    QTest::newRow("the disabled dB read-out") << "dB" << QStringList{"Gaincontrol"};
}

void WindowTest::labelsInGainFrameKeepTheirClicks() {
    QFETCH(QString, control);
    QFETCH(QStringList, events);
    QWidget *widget = m_window->findChild<QWidget *>(control);
    QVERIFY2(widget, qPrintable(control));
    QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(4, widget->height() - 4));
    QCOMPARE(m_log.events, events);
}

void WindowTest::scaleLabelsStandUnderTheirTicks() {
    // Measured on the pixels, so it holds at any scale factor the test runs at.
    QSlider *slider = m_window->GainSlider();
    const QImage image = slider->grab().toImage();
    const double ratio = image.devicePixelRatio();
    QList<QPair<int, int>> ticks; // in the lowest row that crosses 19 marks
    for (int row = image.height() - 1; row >= 0 && ticks.size() != 19; --row)
        ticks = inkRuns(image, row, row);
    QCOMPARE(ticks.size(), 19);

    QString offsets;
    double worst = 0;
    for (int i = 0; i < 19; ++i) {
        QLabel *scale = m_window->Scalelabel(i);
        const QImage text = scale->grab().toImage();
        const QList<QPair<int, int>> ink = inkRuns(text, 0, text.height() - 1);
        const double offset = scale->x() + (ink.first().first + ink.last().second) / 2.0 / ratio -
                              slider->x() - (ticks[i].first + ticks[i].second) / 2.0 / ratio;
        offsets += QStringLiteral(" %1").arg(offset);
        worst = qMax(worst, std::abs(offset));
    }
    QVERIFY2(worst <= 1.0, qPrintable("label centre minus tick, 0 dB to 60 dB:" + offsets));
}

void WindowTest::readoutsReadClearly() {
    // Disabled, yet at least 4.5:1 between the text and its background.
    for (Readout readout : {Readout::SDIText, Readout::SDOText, Readout::GainText, Readout::dB}) {
        QLineEdit *box = m_window->readout(readout);
        box->setText(QStringLiteral("88h"));
        QVERIFY(!box->isEnabled());
        const QImage image = box->grab().toImage();
        const double ratio = image.devicePixelRatio();
        const QRect inside =
            QRect(QPoint(), image.size()).adjusted(3 * ratio, 3 * ratio, -3 * ratio, -3 * ratio);
        const double background = relativeLuminance(image.pixel(inside.bottomRight()));
        double text = background;
        for (int y = inside.top(); y <= inside.bottom(); ++y) {
            for (int x = inside.left(); x <= inside.right(); ++x)
                text = qMin(text, relativeLuminance(image.pixel(x, y)));
        }
        const double contrast = (background + 0.05) / (text + 0.05);
        QVERIFY2(contrast >= 4.5,
                 qPrintable(QStringLiteral("%1: %2:1").arg(box->objectName()).arg(contrast)));
    }
}

void WindowTest::missingFontsNameThePackage() {
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("fonts-wine"));
    QuorvexControlPanel::installFonts(QStringLiteral("/nonexistent"));
    QCOMPARE(QApplication::style()->name(), "windows");
}

void WindowTest::greyedCheckBoxTogglesOnClick() {
    QuorvexControlPanel &w = *m_window;
    w.setCheckValue(1, Greyed);
    QCOMPARE(w.checkValue(1), Greyed);
    QTest::mouseClick(w.softMode(1), Qt::LeftButton);
    QCOMPARE(w.checkValue(1), Checked);
    QTest::mouseClick(w.softMode(1), Qt::LeftButton);
    QCOMPARE(w.checkValue(1), Unchecked);
    QTest::mouseClick(w.softMode(1), Qt::LeftButton);
    QCOMPARE(w.checkValue(1), Checked);
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, w.setCheckValue(1, 3));
}

QTEST_MAIN(WindowTest)
#include "test_window.moc"
