#include "support/panel_fixture.h"

#include <QAction>
#include <QRandomGenerator>
#include <QTest>

namespace {

// The word the controls stand for, worked out here rather than by the panel's
// own conversions: the slider position in bits 5..0 and a bit per checked box.
std::uint16_t controlsWord(const QuorvexControlPanel &w) {
    static constexpr std::array<int, 8> modeBit{15, 14, 13, 12, 8, 9, 10, 11};
    auto word = std::uint16_t(w.sliderPosition());
    for (int i = 0; i < 8; ++i)
        word |= w.checkValue(i) == Checked ? std::uint16_t(1u << modeBit[std::size_t(i)]) : 0;
    return word;
}

QString dbText(int position) {
    return position < 2 ? QString::number(9 * position) : QString::number(3 * position + 6);
}

// What an action did, as far as the checks need to know.
struct Action {
    enum Kind { Slider, CheckBox, BitBox, Update, Clear, Other } kind = Other;
    QString name;
    int index = -1;
    bool enabled = false; // the bit box clicked takes clicks
    int messages = 0;     // message boxes the panel must show
};

// The panel as it stood before an action.
struct Snapshot {
    explicit Snapshot(const PanelFixture &panel)
        : slider(panel.window.sliderPosition())
        , sdi(panel.sdiWord())
        , updateEnabled(panel.window.Update()->isEnabled())
        , messages(panel.messages.size()) {
        for (int k = 0; k < 32; ++k)
            boxes << panel.window.boxText(k);
        for (int i = 0; i < 8; ++i)
            checks[std::size_t(i)] = panel.window.checkValue(i);
    }

    QStringList boxes;
    std::array<int, 8> checks{};
    int slider;
    std::uint16_t sdi;
    bool updateEnabled;
    qsizetype messages;
};

} // namespace

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
    Action act(PanelFixture &panel, QRandomGenerator &random);
    void check(PanelFixture &panel, const Action &action, const Snapshot &before,
               std::size_t framesBefore);

    quint32 m_seed = 0;
    int m_step = 0;
    std::uint16_t m_boardWord = 0; // last word sent to the board's port
    // The SDI boxes hold what the controls cannot show: text typed in, or a
    // gain code above 18 that Update sent. The next frame-sending action
    // rebuilds them.
    bool m_boxesAhead = false;
    // SDIText shows the SDI row as it stood at the last frame; dB keeps its
    // design text until the slider first moves.
    QString m_sdiShown = QStringLiteral("0000h");
    bool m_sliderMoved = false;
};

Action RandomActionsTest::act(PanelFixture &panel, QRandomGenerator &random) {
    QuorvexControlPanel &w = panel.window;
    switch (random.bounded(12)) {
    case 0: {
        const int position = random.bounded(19);
        if (w.GainSlider()->isEnabled())
            w.setSliderPosition(position);
        return {Action::Slider, QStringLiteral("slider to %1").arg(position)};
    }
    case 1: {
        const Qt::Key key = random.bounded(2) ? Qt::Key_Right : Qt::Key_PageDown;
        QTest::keyClick(w.GainSlider(), key);
        return {Action::Slider, QStringLiteral("key %1 on the slider").arg(int(key))};
    }
    case 2:
    case 3: {
        const int index = random.bounded(8);
        QTest::mouseClick(w.softMode(index), Qt::LeftButton);
        return {Action::CheckBox, QStringLiteral("click softMode(%1)").arg(index), index};
    }
    case 4:
    case 5: {
        const int index = random.bounded(32);
        // Only SDI boxes 0 to 5 and 8 to 15 take a click.
        const bool enabled = index < 16 && index != 6 && index != 7;
        QTest::mouseClick(w.Text1(index), Qt::LeftButton);
        return {Action::BitBox, QStringLiteral("click Text1(%1)").arg(index), index, enabled};
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
        return {Action::Other, QStringLiteral("type '%1' into Text1(%2)").arg(text).arg(index)};
    }
    case 7:
        QTest::mouseClick(w.Update(), Qt::LeftButton);
        return {Action::Update, QStringLiteral("click Update")};
    case 8:
        QTest::mouseClick(w.Clear(), Qt::LeftButton);
        return {Action::Clear, QStringLiteral("click Clear")};
    case 9: {
        const int preset = random.bounded(3);
        w.LPT(preset)->trigger();
        return {Action::Other, QStringLiteral("choose LPT%1").arg(preset + 1)};
    }
    case 10:
        w.menuabout()->trigger();
        return {Action::Other, QStringLiteral("choose About"), -1, false, 1};
    default: {
        const int messages = w.GainSlider()->isEnabled() ? 0 : 1;
        QTest::mouseClick(w.Gaincontrol(), Qt::LeftButton, {}, QPoint(300, 20));
        return {Action::Other, QStringLiteral("click Gaincontrol"), -1, false, messages};
    }
    }
}

void RandomActionsTest::check(PanelFixture &panel, const Action &action, const Snapshot &before,
                              std::size_t framesBefore) {
    const QString where =
        QStringLiteral("seed %1, action %2 (%3)").arg(m_seed).arg(m_step).arg(action.name);
    const auto fail = [&](const QString &what) { return qPrintable(where + ": " + what); };
    const QuorvexControlPanel &w = panel.window;

    bool wellFormed = false;
    const std::vector<SentFrame> frames = panel.frames(&wellFormed);
    QVERIFY2(wellFormed, fail("a frame was not 100 writes and 16 reads"));
    QVERIFY2(panel.board.protocolViolations() == 0, fail("the chip saw a protocol violation"));
    QVERIFY2(!panel.module.updating, fail("updating stayed raised"));
    QVERIFY2(panel.modeGroups() != -1, fail("the four mode groups disagree"));

    // Clear and Update send two frames, a change of the slider or a check
    // box one, everything else none. Update sends the SDI row as it stood
    // before the click, a change the word the controls now stand for.
    std::size_t expectedFrames = 0;
    std::uint16_t expectedWord = 0;
    switch (action.kind) {
    case Action::Slider:
        expectedFrames = w.sliderPosition() != before.slider;
        expectedWord = controlsWord(w);
        break;
    case Action::CheckBox:
        expectedFrames = w.checkValue(action.index) != before.checks[std::size_t(action.index)];
        expectedWord = controlsWord(w);
        break;
    case Action::Update:
        expectedFrames = before.updateEnabled ? 2 : 0;
        expectedWord = before.sdi;
        break;
    case Action::Clear:
        expectedFrames = 2;
        break;
    default:
        break;
    }
    const std::size_t sent = frames.size() - framesBefore;
    QVERIFY2(sent == expectedFrames, fail(QStringLiteral("%1 frames sent").arg(sent)));
    QVERIFY2(panel.messages.size() - before.messages == action.messages,
             fail("the wrong number of message boxes"));

    for (std::size_t i = framesBefore; i < frames.size(); ++i) {
        const SentFrame &frame = frames[i];
        QVERIFY2(frame.word == expectedWord,
                 fail(QStringLiteral("sent %1, not %2").arg(frame.word).arg(expectedWord)));
        const std::uint16_t expected = frame.base == panel.board.base() ? m_boardWord : 0xFFFF;
        QVERIFY2(frame.readBack == expected, fail("a frame did not read back the word before"));
        if (frame.base == panel.board.base())
            m_boardWord = frame.word;
    }
    QVERIFY2(panel.board.controlWord() == m_boardWord, fail("the chip holds another word"));

    if (sent > 0) {
        // Update shows its first frame's read-back, everything else its last.
        const std::size_t shown =
            action.kind == Action::Update ? frames.size() - 2 : frames.size() - 1;
        QVERIFY2(panel.sdoWord() == frames[shown].readBack,
                 fail("the SDO row is not the read-back"));
        m_boxesAhead = action.kind == Action::Update && (before.sdi & 0x3F) > 18;
        m_sdiShown = QString::asprintf("%04Xh", panel.sdiWord());
    }

    // A click on a bit box that takes it flips that box by the reading rule
    // (only exactly " 1" is one) and nothing else; any other click on a box
    // changes nothing.
    if (action.kind == Action::BitBox) {
        for (int k = 0; k < 32; ++k) {
            QString expected = before.boxes[k];
            if (k == action.index && action.enabled)
                expected =
                    expected == QLatin1String(" 1") ? QStringLiteral(" 0") : QStringLiteral(" 1");
            QVERIFY2(w.boxText(k) == expected,
                     fail(QStringLiteral("Text1(%1) reads '%2'").arg(k).arg(w.boxText(k))));
        }
        QVERIFY2(!action.enabled || panel.manualMode(),
                 fail("a bit toggle left automatic mode on"));
    }

    m_sliderMoved |= w.sliderPosition() != before.slider;
    const std::array<QString, 4> readouts{m_sdiShown, QString::asprintf("%04Xh", panel.sdoWord()),
                                          QString::asprintf("%02Xh", w.sliderPosition()),
                                          m_sliderMoved ? dbText(w.sliderPosition())
                                                        : QStringLiteral(" 0")};
    for (Readout r : {Readout::SDIText, Readout::SDOText, Readout::GainText, Readout::dB}) {
        QVERIFY2(w.readoutText(r) == readouts[std::size_t(r)],
                 fail(QStringLiteral("a read-out shows '%1', not '%2'")
                          .arg(w.readoutText(r), readouts[std::size_t(r)])));
    }

    if (panel.automaticMode() && !m_boxesAhead)
        QVERIFY2(panel.sdiWord() == controlsWord(w),
                 fail("the SDI boxes differ from the controls"));
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
    check(panel, {Action::Clear, QStringLiteral("start-up")}, Snapshot(panel), 0);
    for (m_step = 1; m_step <= actions; ++m_step) {
        // Keep the record short; frames are checked as they arrive.
        if (panel.port.accesses().size() > 116 * 64)
            panel.port.clear();
        const std::size_t framesBefore = panel.frames().size();
        const Snapshot before(panel);
        const Action action = act(panel, random);
        check(panel, action, before, framesBefore);
        if (QTest::currentTestFailed())
            return;
    }
}

QTEST_MAIN(RandomActionsTest)
#include "test_random_actions.moc"
