#include "link/frame_transfer.h"
#include "link/port_access.h"
#include "link/simulated_board.h"
#include "panel/panel_behaviour.h"
#include "support/fake_toolkit.h"
#include "support/recording_port.h"
#include "word/module1.h"

#include <QTest>

#include <csignal>

using Access = RecordingPort::Access;

namespace {

// The frame as the chip's wiring demands it, written out step by step from the
// line table rather than from the code under test.
std::vector<Access> expectedFrame(std::uint16_t base, std::uint16_t word,
                                  std::uint8_t status = 0x7F) {
    std::vector<Access> frame;
    const auto write = [&](int value) { frame.push_back({true, base, std::uint8_t(value)}); };
    write(2);
    write(0);
    for (int n = 0; n < 16; ++n) {
        write(0);
        write(8);
        frame.push_back({false, base, status});
        write(0);
    }
    for (int bit = 15; bit >= 0; --bit) {
        const int sdi = (word >> bit) & 1 ? 4 : 0;
        write(sdi);
        write(sdi + 8);
        write(sdi);
    }
    write(0);
    write(2);
    return frame;
}

void setSdiBoxes(FakeToolkit &ui, std::uint16_t word) {
    for (int k = 0; k < 16; ++k)
        ui.setBoxText(k, (word >> k) & 1 ? QStringLiteral(" 1") : QStringLiteral(" 0"));
}

} // namespace

class FrameTest : public QObject {
    Q_OBJECT

private slots:
    void accessSequence_data();
    void accessSequence();
    void decodeEveryStatusByte();
    void boxReadingRule_data();
    void boxReadingRule();
    void readBackInReceivingOrder();
    void presetTakesEffectAtNextFrame_data();
    void presetTakesEffectAtNextFrame();
    void presetTouchesNoPort();
    void portBaseOverflow();
    void simulatedBoardEchoesPreviousWord();
    void simulatedBoardOnAnotherPort();
    void signalsWaitForTheFrameOnHardware();
};

void FrameTest::accessSequence_data() {
    QTest::addColumn<int>("word");
    QTest::addColumn<QList<int>>("valuesWritten");
    QTest::newRow("all zero writes only 0, 2 and 8") << 0x0000 << QList<int>{0, 2, 8};
    QTest::newRow("all ones writes 4 and 12 per bit") << 0xFFFF << QList<int>{0, 2, 4, 8, 12};
    QTest::newRow("bit 15 only: first triple 4, 12, 4") << 0x8000 << QList<int>{0, 2, 4, 8, 12};
}

void FrameTest::accessSequence() {
    QFETCH(int, word);
    QFETCH(QList<int>, valuesWritten);

    FakeToolkit ui;
    RecordingPort port;
    Module1 module(ui, port);
    SetPortBase(module, 0x378);
    setSdiBoxes(ui, std::uint16_t(word));

    SendFrame(module);

    QCOMPARE(port.writes(), FrameWrites);
    QCOMPARE(port.reads(), FrameReads);
    QVERIFY(port.accesses() == expectedFrame(0x378, std::uint16_t(word)));

    QSet<int> seen;
    for (const Access &access : port.accesses()) {
        if (access.write)
            seen.insert(access.value);
    }
    QCOMPARE(seen, QSet<int>(valuesWritten.begin(), valuesWritten.end()));
}

void FrameTest::decodeEveryStatusByte() {
    for (int status = 0; status <= 255; ++status) {
        const std::int16_t expected = (status & 0x80) ? 0 : 1;
        QVERIFY2(decodeStatus(std::int16_t(status)) == expected,
                 qPrintable(QStringLiteral("status %1h").arg(status, 2, 16, QLatin1Char('0'))));
    }
    // 80h is SDO low with every other input low: a 0, never a 1.
    QCOMPARE(decodeStatus(0x80), 0);
}

void FrameTest::boxReadingRule_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("bit");
    QTest::newRow("space one") << " 1" << 1;
    QTest::newRow("space zero") << " 0" << 0;
    QTest::newRow("one without the space") << "1" << 0;
    QTest::newRow("trailing space") << " 1 " << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("two spaces one") << "  1" << 0;
}

void FrameTest::boxReadingRule() {
    QFETCH(QString, text);
    QFETCH(int, bit);

    FakeToolkit ui;
    RecordingPort port;
    Module1 module(ui, port);
    for (int k : {15, 7, 0}) {
        ui.setBoxText(k, text);
        GetSDIBits(module);
        QCOMPARE(module.SDIBits[std::size_t(15 - k)], std::int16_t(bit));
        ui.setBoxText(k, QStringLiteral(" 0"));
    }
    QVERIFY(port.accesses().empty());
}

void FrameTest::readBackInReceivingOrder() {
    FakeToolkit ui;
    RecordingPort port;
    Module1 module(ui, port);
    SetPortBase(module, 0x378);
    // SDO high (bit 7 clear) at the first and the last read clock only.
    port.answerStatus([reads = 0](int) mutable {
        const int n = reads++;
        return std::uint8_t(n == 0 || n == 15 ? 0x7F : 0xFF);
    });

    SendFrame(module);

    QCOMPARE(module.SDOBits[0], 1);
    QCOMPARE(module.SDOBits[15], 1);
    for (int n = 1; n < 15; ++n)
        QCOMPARE(module.SDOBits[std::size_t(n)], 0);
}

void FrameTest::presetTakesEffectAtNextFrame_data() {
    QTest::addColumn<int>("preset");
    QTest::addColumn<int>("base");
    QTest::addColumn<QString>("title");
    QTest::newRow("LPT1") << 0 << 0x378 << "Kestrovia Quorvex   set to LPT1 (378h)";
    QTest::newRow("LPT2") << 1 << 0x278 << "Kestrovia Quorvex   set to LPT2 (278h)";
    QTest::newRow("LPT3") << 2 << 0x3BC << "Kestrovia Quorvex   set to LPT3 (3BCh)";
}

void FrameTest::presetTakesEffectAtNextFrame() {
    QFETCH(int, preset);
    QFETCH(int, base);
    QFETCH(QString, title);

    FakeToolkit ui;
    RecordingPort port;
    Module1 module(ui, port);
    choosePortPreset(module, 0);
    choosePortPreset(module, preset);
    QCOMPARE(ui.title(), title);
    QCOMPARE(module.DataPort, base);
    QCOMPARE(module.StatusPort, base + 1);

    SendFrame(module);
    QVERIFY(port.accesses() == expectedFrame(std::uint16_t(base), 0));
    // Its status register is the one just above the data register.
    const PortRegisters registers{std::uint16_t(base), std::uint16_t(base + 1)};
    QVERIFY(port.opened() == std::vector<PortRegisters>{registers});
    QCOMPARE(QString::fromLatin1(PortPresets[std::size_t(preset)].caption),
             title.mid(title.indexOf(QLatin1String("LPT"))));
}

void FrameTest::presetTouchesNoPort() {
    FakeToolkit ui;
    RecordingPort port;
    port.failAt(0);
    Module1 module(ui, port);
    for (int preset : {0, 1, 2, 2, 0})
        choosePortPreset(module, preset);
    QVERIFY(port.accesses().empty());
    QCOMPARE(ui.title(), QStringLiteral("Kestrovia Quorvex   set to LPT1 (378h)"));
}

void FrameTest::portBaseOverflow() {
    FakeToolkit ui;
    RecordingPort port;
    Module1 module(ui, port);
    SetPortBase(module, 0x7FFE);
    QCOMPARE(module.StatusPort, 0x7FFF);
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, SetPortBase(module, 0x7FFF));
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, SetPortBase(module, 0x8000));
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, SetPortBase(module, INT32_MAX));
    QCOMPARE(module.DataPort, 0x7FFE);
}

void FrameTest::simulatedBoardEchoesPreviousWord() {
    FakeToolkit ui;
    SimulatedBoard board(0x378);
    RecordingPort port(&board);
    Module1 module(ui, port);
    SetPortBase(module, 0x378);

    std::uint16_t previous = 0;
    for (std::uint16_t word : {0x8112, 0xFFFF, 0x0001, 0x8000, 0x0000, 0xA5C3}) {
        port.clear();
        setSdiBoxes(ui, word);
        SendFrame(module);
        const FrameBits readBack{
            module.SDOBits[0],  module.SDOBits[1],  module.SDOBits[2],  module.SDOBits[3],
            module.SDOBits[4],  module.SDOBits[5],  module.SDOBits[6],  module.SDOBits[7],
            module.SDOBits[8],  module.SDOBits[9],  module.SDOBits[10], module.SDOBits[11],
            module.SDOBits[12], module.SDOBits[13], module.SDOBits[14], module.SDOBits[15]};
        QCOMPARE(frameBitsToWord(readBack), previous);
        QCOMPARE(board.controlWord(), word);
        QCOMPARE(port.writes(), FrameWrites);
        QCOMPARE(port.reads(), FrameReads);
        previous = word;
    }
    QCOMPARE(board.frames(), 6);
    QCOMPARE(board.protocolViolations(), 0);
}

void FrameTest::simulatedBoardOnAnotherPort() {
    SimulatedBoard board(0x278);
    QCOMPARE(frameOn(board, 0x378, 0x1234), wordToFrameBits(0xFFFF));
    QCOMPARE(board.controlWord(), 0);
    QCOMPARE(board.open(registersAt(0x3BC)).readStatus(), 0x7F);

    frameOn(board, 0x278, 0x1234);
    QCOMPARE(board.controlWord(), 0x1234);
    QCOMPARE(frameOn(board, 0x278, 0), wordToFrameBits(0x1234));

    // A clock pulse with select high, and SDI changing with a rising clock.
    ParallelPort &port = board.open(registersAt(0x278));
    port.writeData(0x02 | 0x08);
    port.writeData(0x02);
    port.writeData(0x00);
    port.writeData(0x04 | 0x08);
    QCOMPARE(board.clockEdgesWhileDeselected(), 2);
    QCOMPARE(board.sdiChangesAtRisingClock(), 1);
}

void FrameTest::signalsWaitForTheFrameOnHardware() {
    // Records, at every access, which of the signals that end a program
    // would be let through.
    class MaskWatchingPort : public ParallelPort {
    public:
        void writeData(std::uint8_t) override { watch(); }
        std::uint8_t readStatus() override {
            watch();
            return 0x7F;
        }
        QSet<int> letThrough;

    private:
        void watch() {
            sigset_t mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
                if (!sigismember(&mask, signal))
                    letThrough.insert(signal);
            }
        }
    };

    MaskWatchingPort port;
    transferFrame(port, 0x8112);
    QVERIFY(port.letThrough.isEmpty());

    sigset_t after;
    pthread_sigmask(SIG_BLOCK, nullptr, &after);
    QVERIFY(!sigismember(&after, SIGTERM) && !sigismember(&after, SIGINT));
}

QTEST_APPLESS_MAIN(FrameTest)
#include "test_frame.moc"
