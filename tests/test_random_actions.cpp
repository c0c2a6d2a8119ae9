#include "support/panel_fixture.h"
#include "word/control_word.h"

#include <QAction>
#include <QRandomGenerator>
#include <QTest>

// Drives long random sequences of user actions on the real window with the
// simulated board on LPT1, checking after every action what must always hold.
// QUORVEX_SEED (a number, or "random") and QUORVEX_RANDOM_ACTIONS choose the
// run; a failure names the seed and the action that broke it.
class RandomActionsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QuorvexControlPanel::installLook(); }
    void randomUserActions();

private:
    QString act(PanelFixture &panel, QRandomGenerator &random);
    void check(PanelFixture &panel, const QString &action, std::size_t framesBefore);

    quint32 m_seed = 0;
    int m_step = 0;
    std::uint16_t m_boardWord = 0; // last word sent to the board's port
    // The SDI boxes hold what the controls cannot show: text typed in, or a
    // gain code above 18 that Update sent. The next frame-sending action
    // rebuilds them.
    bool m_boxesAhead = false;
    int m_updateCode = 0;
    std::vector<std::uint16_t> m_expectedReadBack;
};

QString RandomActionsTest::act(PanelFixture &panel, QRandomGenerator &random) {
    QuorvexControlPanel &w = panel.window;
    switch (random.bounded(10)) {
    case 0: {
        const int position = random.bounded(19);
        if (w.GainSlider()->isEnabled())
            w.setSliderPosition(position);
        return QStringLiteral("slider to %1").arg(position);
    }
    case 1: {
        const Qt::Key key = random.bounded(2) ? Qt::Key_Right : Qt::Key_PageDown;
        QTest::keyClick(w.GainSlider(), key);
        return QStringLiteral("key %1 on the slider").arg(int(key));
    }
    case 2:
    case 3: {
        const int index = random.bounded(8);
        QTest::mouseClick(w.softMode(index), Qt::LeftButton);
        return QStringLiteral("click softMode(%1)").arg(index);
    }
    case 4:
    case 5: {
        const int index = random.bounded(32);
        QTest::mouseClick(w.Text1(index), Qt::LeftButton);
        return QStringLiteral("click Text1(%1)").arg(index);
    }
    case 6: {
        static const QStringList texts{"", "1", "01", " 1", " 0", "x", "0"};
        const int index = random.bounded(16);
        const QString text = texts[random.bounded(int(texts.size()))];
        if (w.Text1(index)->isEnabled()) {
            w.Text1(index)->clear();
            QTest::keyClicks(w.Text1(index), text);
            m_boxesAhead = true;
        }
        return QStringLiteral("type '%1' into Text1(%2)").arg(text).arg(index);
    }
    case 7: {
        m_updateCode = GetGainCode(panel.module);
        QTest::mouseClick(w.Update(), Qt::LeftButton);
        return QStringLiteral("click Update");
    }
    case 8:
        QTest::mouseClick(w.Clear(), Qt::LeftButton);
        return QStringLiteral("click Clear");
    default: {
        const int preset = random.bounded(3);
        w.LPT(preset)->trigger();
        return QStringLiteral("choose LPT%1").arg(preset + 1);
    }
    }
}

void RandomActionsTest::check(PanelFixture &panel, const QString &action,
                              std::size_t framesBefore) {
    const QString where =
        QStringLiteral("seed %1, action %2 (%3)").arg(m_seed).arg(m_step).arg(action);
    const auto fail = [&](const char *what) { return qPrintable(where + ": " + what); };

    bool wellFormed = false;
    const std::vector<SentFrame> frames = panel.frames(&wellFormed);
    QVERIFY2(wellFormed, fail("a frame was not 100 writes and 16 reads"));
    QVERIFY2(panel.board.protocolViolations() == 0, fail("the chip saw a protocol violation"));
    QVERIFY2(!panel.module.updating, fail("updating stayed raised"));
    QVERIFY2(panel.modeGroups() != -1, fail("the four mode groups disagree"));

    for (std::size_t i = framesBefore; i < frames.size(); ++i) {
        const SentFrame &frame = frames[i];
        const std::uint16_t expected = frame.base == panel.board.base() ? m_boardWord : 0xFFFF;
        QVERIFY2(frame.readBack == expected, fail("a frame did not read back the word before"));
        m_expectedReadBack.push_back(expected);
        if (frame.base == panel.board.base())
            m_boardWord = frame.word;
    }
    QVERIFY2(panel.board.controlWord() == m_boardWord, fail("the chip holds another word"));

    const std::size_t sent = frames.size() - framesBefore;
    if (sent > 0) {
        // Update shows its first frame's read-back, everything else its last.
        const bool update = action == QLatin1String("click Update");
        const std::size_t shown = update ? frames.size() - 2 : frames.size() - 1;
        QVERIFY2(panel.sdoWord() == frames[shown].readBack,
                 fail("the SDO row is not the read-back"));
        m_boxesAhead = update && m_updateCode > 18;
    }

    if (panel.automaticMode() && !m_boxesAhead) {
        CheckValues values{};
        for (int i = 0; i < 8; ++i)
            values[std::size_t(i)] = panel.window.checkValue(i);
        const std::uint16_t built =
            wordFromControls(std::int16_t(panel.window.sliderPosition()), values);
        QVERIFY2(panel.sdiWord() == built, fail("the SDI boxes differ from the controls"));
    }
}

void RandomActionsTest::randomUserActions() {
    const QByteArray seed = qgetenv("QUORVEX_SEED");
    m_seed = seed == "random" ? QRandomGenerator::global()->generate()
             : seed.isEmpty() ? 20261207u
                              : seed.toUInt();
    const int actions = qEnvironmentVariableIsSet("QUORVEX_RANDOM_ACTIONS")
                            ? qEnvironmentVariableIntValue("QUORVEX_RANDOM_ACTIONS")
                            : 1500;
    qInfo("seed %u, %d actions (rerun with QUORVEX_SEED=%u)", m_seed, actions, m_seed);
    QRandomGenerator random(m_seed);

    PanelFixture panel;
    panel.window.setMessagePresenter([](const QString &) {});
    check(panel, QStringLiteral("start-up"), 0);
    for (m_step = 1; m_step <= actions; ++m_step) {
        // Keep the record short; frames are checked as they arrive.
        if (panel.port.accesses().size() > 116 * 64)
            panel.port.clear();
        const std::size_t framesBefore = panel.frames().size();
        const QString action = act(panel, random);
        check(panel, action, framesBefore);
        if (QTest::currentTestFailed())
            return;
    }
}

QTEST_MAIN(RandomActionsTest)
#include "test_random_actions.moc"
