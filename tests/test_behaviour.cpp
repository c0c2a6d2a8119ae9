#include "support/file_size_limit.h"
#include "support/panel_fixture.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

void click(QWidget *widget) {
    QTest::mouseClick(widget, Qt::LeftButton);
}

// A click the user made while a handler was busy: queued, not yet delivered.
void postClick(QWidget *widget) {
    const QPointF at = QPointF(widget->rect().center());
    const QPointF global = QPointF(widget->mapToGlobal(widget->rect().center()));
    QCoreApplication::postEvent(widget, new QMouseEvent(QEvent::MouseButtonPress, at, global,
                                                        Qt::LeftButton, Qt::LeftButton, {}));
    QCoreApplication::postEvent(widget, new QMouseEvent(QEvent::MouseButtonRelease, at, global,
                                                        Qt::LeftButton, Qt::NoButton, {}));
}

} // namespace

class BehaviourTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QuorvexControlPanel::installLook(); }

    void startUp();
    void gainChange_data();
    void gainChange();
    void modeBitChange();
    void bitToggle_data();
    void bitToggle();
    void queuedClickDuringToggle();
    void bitToggleYieldsBeforeItToggles();
    void updateSendsTheBoxesAsTheyStand_data();
    void updateSendsTheBoxesAsTheyStand();
    void updateClampsGainAboveTheSlider();
    void updateReadsTheYieldedClick();
    void clearFromManualMode();
    void presetsTouchNoPort();
    void releaseReminderOnlyInManualMode();
    void about();
    void aboutInARealMessageBox();
    void portFailureMidFrame();
    void traceFailureToldOnce();
};

void BehaviourTest::startUp() {
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    QCOMPARE(w.windowTitle(), "Kestrovia Quorvex   set to LPT1 (378h)");

    bool ok = false;
    const std::vector<SentFrame> frames = panel.frames(&ok);
    QVERIFY(ok);
    QCOMPARE(frames.size(), 2u);
    for (const SentFrame &frame : frames) {
        QCOMPARE(frame.base, 0x378);
        QCOMPARE(frame.word, 0);
    }
    QCOMPARE(panel.port.writes(), 200);
    QCOMPARE(panel.port.reads(), 32);

    QCOMPARE(panel.sdiWord(), 0);
    QCOMPARE(w.readoutText(Readout::SDIText), "0000h");
    QCOMPARE(w.readoutText(Readout::SDOText), "0000h");
    QCOMPARE(w.readoutText(Readout::GainText), "00h");
    QCOMPARE(w.readoutText(Readout::dB), " 0");
    QVERIFY(panel.automaticMode());
    QCOMPARE(w.sliderPosition(), 0);
    for (int i = 0; i < 8; ++i)
        QCOMPARE(w.checkValue(i), Unchecked);
    QVERIFY(!panel.module.updating);
    QVERIFY(panel.messages.isEmpty());
}

void BehaviourTest::gainChange_data() {
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("dB");
    QTest::addColumn<QString>("gainText");
    QTest::newRow("1 is 9 dB") << 1 << "9"
                               << "01h";
    QTest::newRow("2 is 12 dB") << 2 << "12"
                                << "02h";
    QTest::newRow("10 is 36 dB") << 10 << "36"
                                 << "0Ah";
    QTest::newRow("18 is 60 dB") << 18 << "60"
                                 << "12h";
}

void BehaviourTest::gainChange() {
    QFETCH(int, position);
    QFETCH(QString, dB);
    QFETCH(QString, gainText);

    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    panel.port.clear();
    w.softMode(3)->click();
    w.setSliderPosition(position);
    QCOMPARE(w.readoutText(Readout::dB), dB);
    QCOMPARE(w.readoutText(Readout::GainText), gainText);

    const std::vector<SentFrame> frames = panel.frames();
    QCOMPARE(frames.size(), 2u);
    const std::uint16_t word = std::uint16_t(0x1000 | position);
    QCOMPARE(frames[1].word, word);
    QCOMPARE(panel.board.controlWord(), word);
    QCOMPARE(w.readoutText(Readout::SDIText),
             QStringLiteral("%1h").arg(word, 4, 16, QChar('0')).toUpper().replace('H', 'h'));
    // The read-back is the word of the change before.
    QCOMPARE(panel.sdoWord(), 0x1000);
    QCOMPARE(w.readoutText(Readout::SDOText), "1000h");

    w.setSliderPosition(0);
    QCOMPARE(w.readoutText(Readout::dB), "0");
    QCOMPARE(panel.frames().size(), 3u);
}

void BehaviourTest::modeBitChange() {
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    w.setSliderPosition(18);
    w.softMode(0)->click();
    panel.port.clear();
    click(w.softMode(5)); // "GPO2"

    const std::vector<SentFrame> frames = panel.frames();
    QCOMPARE(frames.size(), 1u);
    QCOMPARE(frames[0].word, 0x8000 | 0x0200 | 18);
    QCOMPARE(frames[0].readBack, 0x8000 | 18);
    QCOMPARE(w.readoutText(Readout::SDIText), "8212h");
    QCOMPARE(w.readoutText(Readout::SDOText), "8012h");

    // A greyed value sends the bit as 0.
    w.setCheckValue(5, Greyed);
    QCOMPARE(panel.frames().back().word, 0x8000 | 18);
}

void BehaviourTest::bitToggle_data() {
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("after");
    QTest::newRow("zero becomes one") << 3 << " 0"
                                      << " 1";
    QTest::newRow("one becomes zero") << 12 << " 1"
                                      << " 0";
    QTest::newRow("empty becomes one") << 0 << ""
                                       << " 1";
    QTest::newRow("typed 1 becomes one") << 8 << "1"
                                         << " 1";
    QTest::newRow("typed 01 becomes one") << 15 << "01"
                                          << " 1";
}

void BehaviourTest::bitToggle() {
    QFETCH(int, box);
    QFETCH(QString, typed);
    QFETCH(QString, after);

    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    w.Text1(box)->clear();
    QTest::keyClicks(w.Text1(box), typed);
    QCOMPARE(w.boxText(box), typed);
    panel.port.clear();

    click(w.Text1(box));
    QCOMPARE(w.boxText(box), after);
    QVERIFY(panel.manualMode());
    QVERIFY(panel.port.accesses().empty());
    QCOMPARE(w.readoutText(Readout::SDIText), "0000h");

    // A second click toggles back and keeps manual mode.
    click(w.Text1(box));
    QCOMPARE(w.boxText(box), after == " 1" ? " 0" : " 1");
    QVERIFY(panel.manualMode());
    QVERIFY(panel.port.accesses().empty());
}

void BehaviourTest::queuedClickDuringToggle() {
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    postClick(w.Text1(3));
    click(w.Text1(2));
    QCOMPARE(w.boxText(3), " 1");
    QCOMPARE(w.boxText(2), " 1");
    QVERIFY(panel.manualMode());
}

void BehaviourTest::bitToggleYieldsBeforeItToggles() {
    // The toggle enables Update, then yields: an Update queued before the box
    // click runs there, sends the row without the clicked bit and returns to
    // automatic mode; only then does the box flip, unsent.
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    w.setSliderPosition(5);
    w.softMode(1)->click();
    panel.port.clear();
    postClick(w.Update());
    click(w.Text1(3));

    const std::vector<SentFrame> frames = panel.frames();
    QCOMPARE(frames.size(), 2u);
    QCOMPARE(frames[0].word, 0x4005);
    QCOMPARE(frames[1].word, 0x4005);
    QVERIFY(panel.automaticMode());
    QCOMPARE(w.boxText(3), " 1");
    QCOMPARE(w.readoutText(Readout::SDIText), "4005h");
}

void BehaviourTest::updateSendsTheBoxesAsTheyStand_data() {
    QTest::addColumn<QList<int>>("boxes");
    QTest::addColumn<int>("slider");
    QTest::addColumn<QString>("dB");
    QTest::addColumn<QList<int>>("checked");
    QTest::newRow("box 12 checks Over Range") << QList<int>{12} << 0 << "0" << QList<int>{3};
    QTest::newRow("box 8 checks GPO1") << QList<int>{8} << 0 << "0" << QList<int>{4};
    QTest::newRow("box 11 checks GPO4") << QList<int>{11} << 0 << "0" << QList<int>{7};
    QTest::newRow("gain 000011 is position 3, 15 dB")
        << QList<int>{1, 0} << 3 << "15" << QList<int>{};
    QTest::newRow("8112h") << QList<int>{15, 8, 4, 1} << 18 << "60" << QList<int>{0, 4};
}

void BehaviourTest::updateSendsTheBoxesAsTheyStand() {
    QFETCH(QList<int>, boxes);
    QFETCH(int, slider);
    QFETCH(QString, dB);
    QFETCH(QList<int>, checked);

    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    w.setSliderPosition(5);
    w.softMode(1)->click();
    const std::uint16_t before = panel.board.controlWord();
    for (int k = 0; k < 16; ++k) {
        if (w.boxText(k) == " 1")
            click(w.Text1(k));
    }
    std::uint16_t word = 0;
    for (int k : boxes) {
        click(w.Text1(k));
        word |= std::uint16_t(1u << k);
    }
    panel.port.clear();

    click(w.Update());
    QVERIFY(panel.automaticMode());
    QCOMPARE(w.sliderPosition(), slider);
    QCOMPARE(w.readoutText(Readout::dB), dB);
    for (int i = 0; i < 8; ++i)
        QCOMPARE(w.checkValue(i), checked.contains(i) ? Checked : Unchecked);

    const std::vector<SentFrame> frames = panel.frames();
    QCOMPARE(frames.size(), 2u);
    QCOMPARE(frames[0].word, word);
    QCOMPARE(frames[1].word, word);
    // The SDO row shows the first frame's read-back: the word before Update.
    QCOMPARE(panel.sdoWord(), before);
    QCOMPARE(frames[1].readBack, word);
    QCOMPARE(panel.sdiWord(), word);
    QCOMPARE(w.readoutText(Readout::GainText),
             QStringLiteral("%1h").arg(slider, 2, 16, QChar('0')).toUpper().replace('H', 'h'));
    QVERIFY(!panel.module.updating);
}

void BehaviourTest::updateClampsGainAboveTheSlider() {
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    for (int k : {5, 0}) // code 33
        click(w.Text1(k));
    // A mode box holding "1" reads as 0: its check box stays clear, as sent.
    w.Text1(13)->setText("1");
    panel.port.clear();

    click(w.Update());
    QCOMPARE(w.sliderPosition(), 18);
    QCOMPARE(w.readoutText(Readout::dB), "60");
    QCOMPARE(w.checkValue(2), Unchecked);
    const std::vector<SentFrame> frames = panel.frames();
    QCOMPARE(frames.size(), 2u);
    QCOMPARE(frames[0].word, 33);
    QCOMPARE(frames[1].word, 33);
    QCOMPARE(w.boxText(13), "1");
    QCOMPARE(w.readoutText(Readout::SDIText), "0021h");
}

void BehaviourTest::updateReadsTheYieldedClick() {
    // A box click still queued when Update starts runs at its yield, before
    // the gain code is read, and sends nothing of its own.
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    click(w.Text1(4));
    panel.port.clear();
    postClick(w.Text1(1));
    click(w.Update());
    QCOMPARE(w.sliderPosition(), 18);
    QCOMPARE(panel.frames().size(), 2u);
    QCOMPARE(panel.frames()[0].word, 0x12);
}

void BehaviourTest::clearFromManualMode() {
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    w.setSliderPosition(7);
    w.softMode(6)->click();
    click(w.Text1(15));
    click(w.Text1(2));
    panel.port.clear();

    click(w.Clear());
    QVERIFY(panel.automaticMode());
    const std::vector<SentFrame> frames = panel.frames();
    QCOMPARE(frames.size(), 2u);
    QCOMPARE(frames[0].word, 0);
    QCOMPARE(frames[1].word, 0);
    QCOMPARE(frames[0].readBack, 0x0400 | 7);
    QCOMPARE(panel.sdiWord(), 0);
    QCOMPARE(panel.sdoWord(), 0);
    QCOMPARE(w.sliderPosition(), 0);
    QCOMPARE(w.readoutText(Readout::dB), "0");
    QCOMPARE(w.readoutText(Readout::GainText), "00h");
    QCOMPARE(w.checkValue(6), Unchecked);
}

void BehaviourTest::presetsTouchNoPort() {
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    panel.port.clear();
    w.LPT(1)->trigger();
    QCOMPARE(w.windowTitle(), "Kestrovia Quorvex   set to LPT2 (278h)");
    click(w.Text1(0));
    w.LPT(2)->trigger();
    QCOMPARE(w.windowTitle(), "Kestrovia Quorvex   set to LPT3 (3BCh)");
    QVERIFY(panel.manualMode());
    QCOMPARE(w.boxText(0), " 1");
    QVERIFY(panel.port.accesses().empty());

    // The next frames go to the new port, where no board answers.
    click(w.Update());
    const std::vector<SentFrame> frames = panel.frames();
    QCOMPARE(frames.size(), 2u);
    QCOMPARE(frames[0].base, 0x3BC);
    QCOMPARE(frames[0].readBack, 0xFFFF);
    QCOMPARE(w.readoutText(Readout::SDOText), "FFFFh");

    w.LPT(0)->trigger();
    w.setSliderPosition(2);
    QCOMPARE(panel.frames().back().base, 0x378);
    QCOMPARE(panel.board.controlWord(), 2);
}

void BehaviourTest::releaseReminderOnlyInManualMode() {
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    click(w.Gaincontrol());
    QVERIFY(panel.messages.isEmpty());
    click(w.Text1(9));
    click(w.GainSlider());
    click(w.Scalelabel(0));
    QCOMPARE(panel.messages, QStringList({"click Update to release", "click Update to release"}));
    QVERIFY(panel.manualMode());
}

void BehaviourTest::about() {
    PanelFixture panel;
    panel.window.menuabout()->trigger();
    QCOMPARE(panel.messages, QStringList({"QuorvexEVM Program Ver. 1.0 "}));
    QCOMPARE(panel.messages.first().size(), 28);
}

void BehaviourTest::aboutInARealMessageBox() {
    PanelFixture panel;
    panel.window.setMessagePresenter({});
    QString seen;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen = QStringList{box->windowTitle(),
                           box->text(),
                           QString::number(box->buttons().size()),
                           QString::number(box->standardButtons()),
                           QString::number(box->icon()),
                           box->font() == panel.window.softMode(0)->font() ? "dialog font" : ""}
                   .join('|');
        box->button(QMessageBox::Ok)->click();
    });
    panel.window.menuabout()->trigger();
    QCOMPARE(seen, QStringLiteral("QuorvexEVM|QuorvexEVM Program Ver. 1.0 |1|%1|%2|dialog font")
                       .arg(int(QMessageBox::Ok))
                       .arg(int(QMessageBox::NoIcon)));
}

void BehaviourTest::portFailureMidFrame() {
    PanelFixture panel;
    QuorvexControlPanel &w = panel.window;
    panel.port.clear();
    panel.port.failAt(40);

    click(w.Clear());
    QCOMPARE(panel.messages.size(), 1);
    QVERIFY(panel.messages.first().startsWith("LPT1 (378h)"));
    QVERIFY(!panel.module.updating);

    // The panel goes on: the next change is sent.
    panel.port.failAt(-1);
    panel.port.clear();
    w.setSliderPosition(4);
    QCOMPARE(panel.frames().size(), 1u);
    QCOMPARE(panel.board.controlWord(), 4);

    // Failing inside Update leaves the mode where the handler stopped, but
    // never a raised flag that would silence every later change.
    click(w.Text1(1));
    panel.port.failAt(long(panel.port.accesses().size()) + 5);
    click(w.Update());
    QVERIFY(!panel.module.updating);
    QCOMPARE(panel.messages.size(), 2);

    // A Clear queued while a bit toggles runs nested in the toggle's yield;
    // failing there, it must not leave the flag raised either.
    postClick(w.Clear());
    panel.port.failAt(long(panel.port.accesses().size()) + 5);
    click(w.Text1(3));
    QVERIFY(!panel.module.updating);
    QCOMPARE(panel.messages.size(), 3);
    panel.port.failAt(-1);
    w.setSliderPosition(0);
    click(w.Clear());
    w.setSliderPosition(6);
    QCOMPARE(panel.board.controlWord(), 6);
}

void BehaviourTest::traceFailureToldOnce() {
    QTemporaryDir dir;
    auto owned = std::make_unique<SimulatedBoard>(0x378);
    SimulatedBoard &board = *owned;
    TracingBackend tracing(std::move(owned), dir.filePath("t.vcd").toStdString());
    PanelSession session(tracing);
    QStringList messages;
    session.window.setMessagePresenter([&messages](const QString &text) { messages << text; });
    session.reportTraceFailures(tracing.trace());
    session.start();

    const FileSizeLimit diskFull(4096);
    for (int position = 1; position <= 18; ++position) {
        session.window.setSliderPosition(position);
        QCOMPARE(board.controlWord(), position);
    }
    // Not inside the handler that met it: after it, once.
    QVERIFY(messages.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages.first().contains("t.vcd") && messages.first().contains("stopped"),
             qPrintable(messages.first()));
    session.window.setSliderPosition(0);
    QCoreApplication::processEvents();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(board.controlWord(), 0);
}

QTEST_MAIN(BehaviourTest)
#include "test_behaviour.moc"
