#include "instrument/vxi11_server.h"
#include "link/frame_trace.h"
#include "link/lan_backend.h"
#include "panel/window/remote_board.h"
#include "support/file_size_limit.h"
#include "support/panel_fixture.h"
#include "support/scpi_client.h"
#include "support/vxi11_client.h"

#include <QEventLoop>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <functional>

// A lan: binding's frame that a panel there holds for its message box must
// be answered before the binding gives up on it, or a frame sent late there
// is reported here as not sent.
static_assert(LanAnswerTimeout > ScpiServer::BusyWaitLimit);

namespace {

// The real panel on the simulated board, serving its SCPI commands on a free
// loopback port, and one client connected to it.
struct RemotePanel : PanelFixture {
    PanelRemote &remote = session.listen(QHostAddress::LocalHost, 0);
    Client client{remote.server.port()};
};

// What a user sees of the panel, and what it sent.
struct PanelState {
    QStringList texts;
    std::vector<RecordingPort::Access> accesses;

    explicit PanelState(const PanelFixture &panel)
        : accesses(panel.port.accesses()) {
        const QuorvexControlPanel &w = panel.window;
        for (int i = 0; i < 32; ++i)
            texts << w.boxText(i);
        for (Readout readout : {Readout::SDIText, Readout::SDOText, Readout::GainText, Readout::dB})
            texts << w.readoutText(readout);
        for (int i = 0; i < 8; ++i)
            texts << QString::number(w.checkValue(i));
        texts << QString::number(w.sliderPosition()) << w.windowTitle()
              << QString::number(panel.modeGroups());
    }

    bool operator==(const PanelState &) const = default;
};

// A remote line and the user's actions it stands for.
struct Action {
    const char *name;
    QByteArray line;
    std::function<void(PanelFixture &)> user;
};

void click(QWidget *widget) {
    QTest::mouseClick(widget, Qt::LeftButton);
}

const std::vector<Action> &actions() {
    static const std::vector<Action> table{
        {"DCOF and GPO3 click their check boxes", "DCOF ON;GPO3 ON",
         [](PanelFixture &p) {
             click(p.window.softMode(0));
             click(p.window.softMode(6));
         }},
        {"WORD sets the SDI bits and runs Update", "WORD #H8112",
         [](PanelFixture &p) {
             for (int box : {15, 8, 4, 1})
                 click(p.window.Text1(box));
             click(p.window.Update());
         }},
        {"*RST runs Clear", "GAIN 33;ZCEN ON;*RST",
         [](PanelFixture &p) {
             p.window.GainSlider()->setValue(9);
             click(p.window.softMode(2));
             click(p.window.Clear());
         }},
        {"PORT chooses the preset in the menu", "PORT LPT2;GAIN 60",
         [](PanelFixture &p) {
             p.window.LPT(1)->trigger();
             p.window.GainSlider()->setValue(18);
         }},
        {"GAIN moves the slider, step by step",
         "GAIN 0;GAIN 9;GAIN 12;GAIN 15;GAIN 60;GAIN 57;GAIN 0",
         [](PanelFixture &p) {
             for (int position : {0, 1, 2, 3, 18, 17, 0})
                 p.window.GainSlider()->setValue(position);
         }},
    };
    return table;
}

// A press or release at a point of widget as the window system reports a
// person's: to the window, through the toolkit's input handling.
void systemMouse(QWidget *widget, QPoint at, bool press) {
    QWidget *top = widget->window();
    const QPoint local = widget->mapTo(top, at);
    if (press)
        QTest::mousePress(top->windowHandle(), Qt::LeftButton, {}, local);
    else
        QTest::mouseRelease(top->windowHandle(), Qt::LeftButton, {}, local);
}

// Runs act from inside the first yield of a remote action (Update's) that
// the event loop reaches while a script's line runs.
void insideARemoteLine(QuorvexControlPanel &window, std::function<void()> act) {
    QMetaObject::invokeMethod(
        &window,
        [&window, act] {
            if (!window.busy())
                return insideARemoteLine(window, act);
            act();
        },
        Qt::QueuedConnection);
}

// The click comes in while a script's line runs; or only its press, the
// release coming once the line has returned.
void clickInsideARemoteLine(QuorvexControlPanel &window, QWidget *target, QPoint at,
                            bool releaseAfter, bool &clicked) {
    insideARemoteLine(window, [&window, target, at, releaseAfter, &clicked] {
        systemMouse(target, at, true);
        if (releaseAfter)
            QMetaObject::invokeMethod(
                &window, [target, at] { systemMouse(target, at, false); }, Qt::QueuedConnection);
        else
            systemMouse(target, at, false);
        clicked = true;
    });
}

// Where the person clicks: Clear, SDI bit 3, About in the menu bar.
enum Target { ClearButton, BitBox3, AboutItem };

std::pair<QWidget *, QPoint> pointOf(QuorvexControlPanel &w, int target) {
    if (target == AboutItem)
        return {w.menuBar(), w.menuBar()->actionGeometry(w.menuabout()).center()};
    QWidget *widget = target == ClearButton ? static_cast<QWidget *>(w.Clear()) : w.Text1(3);
    return {widget, widget->rect().center()};
}

} // namespace

class RemoteTest : public QObject {
    Q_OBJECT

private slots:
    void commandIsTheUsersAction_data();
    void commandIsTheUsersAction();
    void commandsWaitForTheWindow_data();
    void commandsWaitForTheWindow();
    void manualModeBelongsToThePerson();
    void portErrorGoesToTheQueueNotABox();
    void sliderThroughALanBinding();
    void lanFrameRefusedThereIsNotSent();
    void personAndScriptTakeTurns_data();
    void personAndScriptTakeTurns();
    void openBoxHoldsOnlyTheCommandsThatAct();
    void vxi11WriteWaitsForTheBox_data();
    void vxi11WriteWaitsForTheBox();
    void vxi11LineWaitsForAnotherSessionsLine();
    void clientsBeyondTheLimitAreToldWhy();
    void stoppedTraceIsToldToThePersonOnly();
};

void RemoteTest::commandIsTheUsersAction_data() {
    QTest::addColumn<int>("action");
    for (std::size_t n = 0; n < actions().size(); ++n)
        QTest::newRow(actions()[n].name) << int(n);
}

void RemoteTest::commandIsTheUsersAction() {
    QFETCH(int, action);
    const Action &chosen = actions().at(std::size_t(action));

    RemotePanel remote;
    QCOMPARE(remote.client.ask(chosen.line + ";*OPC?;:SYST:ERR?"), QByteArray("1;0,\"No error\""));
    PanelFixture user;
    chosen.user(user);

    QVERIFY(PanelState(remote) == PanelState(user));
    QVERIFY(remote.messages.isEmpty());
}

void RemoteTest::commandsWaitForTheWindow_data() {
    QTest::addColumn<bool>("messageBox");
    QTest::newRow("while a handler runs the event loop") << false;
    QTest::newRow("while a message box is open") << true;
}

void RemoteTest::commandsWaitForTheWindow() {
    QFETCH(bool, messageBox);

    RemotePanel panel;
    QCOMPARE(panel.client.ask("*OPC?"), QByteArray("1"));
    bool answeredInside = true;
    // The handler's yield, or the box's own event loop, with a command waiting.
    const auto nestedLoop = [&] {
        panel.client.write("GAIN 33;*IDN?\n");
        QEventLoop loop;
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
        answeredInside = panel.client.waiting() || panel.window.sliderPosition() != 0;
    };
    if (messageBox) {
        panel.window.setMessagePresenter([&](const QString &) { nestedLoop(); });
        panel.window.showMessage(QStringLiteral("QuorvexEVM Program Ver. 1.0 "));
    } else {
        panel.window.handle([&](ToolkitEvents &) { nestedLoop(); });
    }
    QVERIFY(!answeredInside);
    QVERIFY(panel.client.read(1).startsWith("Kestrovia,QuorvexEVM"));
    QCOMPARE(panel.window.sliderPosition(), 9);
}

void RemoteTest::manualModeBelongsToThePerson() {
    RemotePanel panel;
    QCOMPARE(panel.client.ask("*OPC?"), QByteArray("1"));
    // A setting that arrives as the user starts editing the bits waits for
    // the click's handler, and then finds the panel in manual mode.
    panel.client.write("GAIN 33\n");
    click(panel.window.Text1(3));
    const PanelState edited(panel);
    QVERIFY(panel.manualMode());

    // The controls manual mode disables stay the person's.
    QCOMPARE(panel.client.ask("DCOF ON;GAIN 60;VER?;GAIN?;WORD?"), QByteArray("0;0;#H0000"));
    for (int n = 0; n < 4; ++n)
        QCOMPARE(panel.client.ask("SYST:ERR?"), QByteArray("-221,\"Settings conflict\""));
    QVERIFY(PanelState(panel) == edited);
    QCOMPARE(panel.window.boxText(3), QStringLiteral(" 1"));

    // WORD is the bits and Update, *RST is Clear, as the person would end it.
    QCOMPARE(panel.client.ask("WORD #H8112;WORD?;SYST:ERR?"), QByteArray("#H8112;0,\"No error\""));
    QVERIFY(panel.automaticMode());
    click(panel.window.Text1(3));
    QCOMPARE(panel.client.ask("*RST;WORD?;SYST:ERR?"), QByteArray("#H0000;0,\"No error\""));
    QVERIFY(panel.automaticMode());
}

void RemoteTest::portErrorGoesToTheQueueNotABox() {
    RemotePanel panel;
    panel.port.failAt(long(panel.port.accesses().size()) + 40);
    QCOMPARE(panel.client.ask("GAIN 33;*OPC?"), QByteArray("1"));
    QVERIFY(
        panel.client.ask("SYST:ERR?").startsWith("100,\"LPT1 (378h) on /dev/parport0: data write"));
    QVERIFY(panel.messages.isEmpty());
}

void RemoteTest::sliderThroughALanBinding() {
    QTemporaryDir dir;
    const QStringList traced = {"--trace-fixed-step", "--trace"};
    const auto moveSlider = [](PortBackend &port) {
        PanelSession session{port};
        session.window.setMessagePresenter([](const QString &text) { QFAIL(qPrintable(text)); });
        session.start();
        for (int position : {9, 18, 17})
            session.window.GainSlider()->setValue(position);
        return session.window.readoutText(Readout::SDOText);
    };
    auto server =
        std::make_unique<ServeProcess>("true", traced + QStringList{dir.filePath("served.vcd")});
    LanBackend lan("lan:127.0.0.1:" + std::to_string(server->port));
    const QString shown = moveSlider(lan);
    server.reset();

    // The served board saw the frames of start-up and the slider's, as a
    // board on the panel's own port does, and the panel shows what it read.
    TracingBackend local(std::make_unique<SimulatedBoard>(0x378),
                         dir.filePath("local.vcd").toStdString(), FrameTrace::Time::FixedStep);
    QCOMPARE(shown, moveSlider(local));
    QFile served(dir.filePath("served.vcd"));
    QFile expected(dir.filePath("local.vcd"));
    QVERIFY(served.open(QIODevice::ReadOnly) && expected.open(QIODevice::ReadOnly));
    QCOMPARE(served.readAll(), expected.readAll());
}

void RemoteTest::lanFrameRefusedThereIsNotSent() {
    RemotePanel panel;
    click(panel.window.Text1(3));
    QProcess ctl;
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY),
              {"--device", QStringLiteral("LPT1=lan:127.0.0.1:%1").arg(panel.remote.server.port()),
               "send", "1"});
    QVERIFY(QTest::qWaitFor([&] { return ctl.state() == QProcess::NotRunning; }, 10000));
    QCOMPARE(ctl.exitCode(), 3);
    QCOMPARE(ctl.readAllStandardOutput(), QByteArray());
    const QByteArray errors = ctl.readAllStandardError();
    QVERIFY2(errors.contains("refused the frame's line (-221 \"Settings conflict\"); the frame is "
                             "not counted as sent; the person at that panel"),
             errors.constData());
}

void RemoteTest::personAndScriptTakeTurns_data() {
    // What the person clicks while a script loops WORD #H8112;WORD?, and
    // what the click does once the line it came in has run.
    QTest::addColumn<int>("target");
    QTest::addColumn<bool>("releaseAfter"); // pressed in the line, released after it
    QTest::addColumn<int>("sdiAfter");
    QTest::addColumn<bool>("manualAfter");
    QTest::addColumn<QList<int>>("clickFrames");
    QTest::addColumn<bool>("aboutBox");
    QTest::newRow("Clear clears after the script's WORD")
        << int(ClearButton) << false << 0x0000 << false << QList<int>{0, 0} << false;
    QTest::newRow("Clear pressed in the script's WORD, released after it, clears")
        << int(ClearButton) << true << 0x0000 << false << QList<int>{0, 0} << false;
    QTest::newRow("a bit box enters manual mode after the script's WORD")
        << int(BitBox3) << false << 0x811A << true << QList<int>{} << false;
    QTest::newRow("About opens its box for the person, other clients answered meanwhile")
        << int(AboutItem) << false << 0x8112 << false << QList<int>{} << true;
}

void RemoteTest::personAndScriptTakeTurns() {
    QFETCH(int, target);
    QFETCH(bool, releaseAfter);
    QFETCH(int, sdiAfter);
    QFETCH(bool, manualAfter);
    QFETCH(QList<int>, clickFrames);
    QFETCH(bool, aboutBox);

    RemotePanel panel;
    Client other(panel.remote.server.port());
    QByteArray otherAnswer;
    panel.window.setMessagePresenter([&](const QString &text) {
        panel.messages << text;
        otherAnswer = other.ask("*IDN?");
    });
    const auto [widget, at] = pointOf(panel.window, target);
    bool clicked = false;
    clickInsideARemoteLine(panel.window, widget, at, releaseAfter, clicked);
    for (int n = 0; n < 1000 && !clicked; ++n)
        QCOMPARE(panel.client.ask("WORD #H8112;WORD?"), QByteArray("#H8112"));
    QVERIFY(clicked);
    QCOMPARE(panel.client.ask("SYST:ERR?"), QByteArray("0,\"No error\""));

    QCOMPARE(panel.sdiWord(), sdiAfter);
    QCOMPARE(panel.manualMode(), manualAfter);
    QCOMPARE(panel.messages.size(), aboutBox ? 1 : 0);
    QCOMPARE(otherAnswer.startsWith("Kestrovia,QuorvexEVM"), aboutBox);
    // After start-up's two frames, each line's two, then the click's.
    QList<int> words;
    for (const SentFrame &frame : panel.frames())
        words << frame.word;
    QCOMPARE(words.mid(words.size() - clickFrames.size()), clickFrames);
    const QList<int> script = words.mid(2, words.size() - 2 - clickFrames.size());
    QVERIFY(!script.isEmpty() && script.size() % 2 == 0);
    QCOMPARE(script.count(0x8112), script.size());
}

void RemoteTest::openBoxHoldsOnlyTheCommandsThatAct() {
    RemotePanel panel;
    panel.remote.server.setBusyWaitLimit(std::chrono::milliseconds(100));
    Client other(panel.remote.server.port());
    const std::size_t frames = panel.frames().size();
    QByteArray idn;
    QByteArray answer;
    panel.window.setMessagePresenter([&](const QString &) {
        panel.client.write("GAIN 33;GAIN?\n");
        idn = other.ask("*IDN?;SYST:ERR?;*STB?");
        answer = panel.client.read(1);
    });
    panel.window.menuabout()->trigger();

    QVERIFY2(idn.startsWith("Kestrovia,QuorvexEVM,0,"), idn);
    QCOMPARE(answer, QByteArray("0\n"));
    QCOMPARE(panel.frames().size(), frames);
    // The error is the client's own: another's *CLS leaves it.
    QCOMPARE(other.ask("*CLS;SYST:ERR?"), QByteArray("0,\"No error\""));
    const QByteArray error = panel.client.ask("SYST:ERR?");
    QVERIFY2(error.startsWith("-200,\"Execution error;a message box is open"), error);
    QCOMPARE(panel.client.ask("GAIN 33;GAIN?"), QByteArray("33"));
}

void RemoteTest::vxi11WriteWaitsForTheBox_data() {
    QTest::addColumn<int>("boundMs");
    QTest::addColumn<int>("ioTimeoutMs");
    QTest::addColumn<bool>("outlasts");
    QTest::newRow("the box closes: the write goes on from its waiting command")
        << 60000 << 60000 << false;
    QTest::newRow("the box outlasts the bound: -200 and nothing sent") << 100 << 60000 << true;
    QTest::newRow("the box outlasts the write's io_timeout: -200 and nothing sent")
        << 60000 << 100 << true;
}

void RemoteTest::vxi11WriteWaitsForTheBox() {
    QFETCH(int, boundMs);
    QFETCH(int, ioTimeoutMs);
    QFETCH(bool, outlasts);
    RemotePanel panel;
    panel.session.offerLanServices(QHostAddress::LocalHost, {true, false});
    Vxi11Server &vxi11 = *panel.remote.lan.vxi11();
    vxi11.setBusyWaitLimit(std::chrono::milliseconds(boundMs));
    Vxi11Client link(vxi11.port());
    const std::size_t frames = panel.frames().size();
    QByteArray idn;
    bool answeredInBox = false;
    panel.window.setMessagePresenter([&](const QString &) {
        link.startWrite("*CLS;GAIN 33;GAIN?\n", std::uint32_t(ioTimeoutMs));
        idn = panel.client.ask("*IDN?");
        answeredInBox = QTest::qWaitFor([&] { return link.answered(); }, outlasts ? 5000 : 100);
    });
    panel.window.menuabout()->trigger();

    QVERIFY2(idn.startsWith("Kestrovia,QuorvexEVM,0,"), idn);
    QCOMPARE(answeredInBox, outlasts);
    QCOMPARE(link.result().value(0), 0u);
    QCOMPARE(link.read(), outlasts ? "0\n" : "33\n");
    QCOMPARE(panel.frames().size() > frames, !outlasts);
    QCOMPARE(link.ask("SYST:ERR?").left(4), outlasts ? "-200" : "0,\"N");
}

void RemoteTest::vxi11LineWaitsForAnotherSessionsLine() {
    // A VXI-11 WORD that comes while a socket client's line runs Update
    // runs after that whole line, never between two of its commands.
    RemotePanel panel;
    panel.session.offerLanServices(QHostAddress::LocalHost, {true, false});
    Vxi11Client link(panel.remote.lan.vxi11()->port());
    bool sent = false;
    insideARemoteLine(panel.window, [&] {
        link.startWrite("WORD #H1234\n");
        // Until the server has it and sets it aside: the window is busy.
        QTest::qWait(50);
        sent = true;
    });
    for (int n = 0; n < 1000 && !sent; ++n)
        QCOMPARE(panel.client.ask("WORD #H8112;WORD?"), QByteArray("#H8112"));
    QVERIFY(sent);
    QCOMPARE(link.result().value(0), 0u);
    QCOMPARE(panel.client.ask("WORD?"), QByteArray("#H1234"));
}

void RemoteTest::clientsBeyondTheLimitAreToldWhy() {
    RemotePanel panel;
    const quint16 port = panel.remote.server.port();
    std::vector<std::unique_ptr<Client>> slow;
    for (int n = 1; n < ClientSlots::DefaultCapacity; ++n) {
        slow.push_back(std::make_unique<Client>(port));
        slow.back()->write("GAI");
    }
    QCOMPARE(panel.client.ask("*OPC?"), QByteArray("1"));
    QCOMPARE(panel.remote.arbiter.clientsLabel()->text().trimmed(), "16 remote clients");

    Client refused(port);
    const QByteArray reason = refused.read(1);
    QVERIFY2(reason.contains("all 16 client places are taken") && reason.contains("--max-clients"),
             reason);
    slow.clear();
    QTRY_COMPARE(panel.remote.arbiter.clientsLabel()->text().trimmed(), "1 remote client");
    QCOMPARE(Client(port).ask("*OPC?"), QByteArray("1"));
}

void RemoteTest::stoppedTraceIsToldToThePersonOnly() {
    QTemporaryDir dir;
    TracingBackend tracing(std::make_unique<SimulatedBoard>(0x378),
                           dir.filePath("t.vcd").toStdString());
    PanelSession session(tracing);
    QStringList messages;
    session.window.setMessagePresenter([&messages](const QString &text) { messages << text; });
    session.reportTraceFailures(tracing.trace());
    session.start();
    Client client(session.listen(QHostAddress::LocalHost, 0).server.port());

    // The trace stops in a script's frame; Update's yields come after it.
    const FileSizeLimit diskFull(4096);
    for (int n = 0; n < 20; ++n)
        QCOMPARE(client.ask("WORD #H8112;WORD #H8112;WORD?;SYST:ERR?"),
                 QByteArray("#H8112;0,\"No error\""));
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages.first().contains("t.vcd"), qPrintable(messages.first()));
}

QTEST_MAIN(RemoteTest)
#include "test_remote.moc"
