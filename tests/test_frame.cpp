#include "link/frame_trace.h"
#include "link/frame_transfer.h"
#include "link/port_access.h"
#include "link/serial_link.h"
#include "link/simulated_board.h"
#include "support/recording_port.h"

#include <QTemporaryDir>

#include <QTest>

using Access = RecordingPort::Access;

namespace {

void setSdiBits(SerialLink &link, std::uint16_t word) {
    const FrameBits bits = wordToFrameBits(word);
    std::copy(bits.begin(), bits.end(), link.SDIBits.begin());
}

FrameBits sdoBits(const SerialLink &link) {
    FrameBits bits{};
    std::copy_n(link.SDOBits.begin(), bits.size(), bits.begin());
    return bits;
}

} // namespace

class FrameTest : public QObject {
    Q_OBJECT

private slots:
    void accessSequence_data();
    void accessSequence();
    void decodeEveryStatusByte();
    void readBackInReceivingOrder();
    void portBaseOverflow();
    void simulatedBoardEchoesPreviousWord();
    void simulatedBoardOnAnotherPort();
    void traceHandsItsPortTheFrameWhole();
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

    RecordingPort port;
    SerialLink link(port);
    SetPortBase(link, 0x378);
    setSdiBits(link, std::uint16_t(word));

    sendSDIBits(link);

    QCOMPARE(port.writes(), FrameWrites);
    QCOMPARE(port.reads(), FrameReads);
    QVERIFY(port.accesses() == expectedFrame(0x378, std::uint16_t(word)));
    // The port is handed the frame whole, and the frame as a value is the
    // same sequence.
    QCOMPARE(port.runs(), 1);
    std::vector<Access> steps;
    for (const PinStep &step : frameFor(std::uint16_t(word)))
        steps.push_back({step.kind == PinStep::Kind::Write, 0x378,
                         step.kind == PinStep::Kind::Write ? step.data : std::uint8_t(0x7F)});
    QVERIFY(steps == expectedFrame(0x378, std::uint16_t(word)));

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

void FrameTest::readBackInReceivingOrder() {
    RecordingPort port;
    SerialLink module(port);
    SetPortBase(module, 0x378);
    // SDO high (bit 7 clear) at the first and the last read clock only.
    port.answerStatus([reads = 0](int) mutable {
        const int n = reads++;
        return std::uint8_t(n == 0 || n == 15 ? 0x7F : 0xFF);
    });

    sendSDIBits(module);

    QCOMPARE(module.SDOBits[0], 1);
    QCOMPARE(module.SDOBits[15], 1);
    for (int n = 1; n < 15; ++n)
        QCOMPARE(module.SDOBits[std::size_t(n)], 0);
}

void FrameTest::portBaseOverflow() {
    RecordingPort port;
    SerialLink module(port);
    SetPortBase(module, 0x7FFE);
    QCOMPARE(module.StatusPort, 0x7FFF);
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, SetPortBase(module, 0x7FFF));
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, SetPortBase(module, 0x8000));
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, SetPortBase(module, INT32_MAX));
    QCOMPARE(module.DataPort, 0x7FFE);
}

void FrameTest::simulatedBoardEchoesPreviousWord() {
    SimulatedBoard board(0x378);
    RecordingPort port(&board);
    SerialLink module(port);
    SetPortBase(module, 0x378);

    std::uint16_t previous = 0;
    for (std::uint16_t word : {0x8112, 0xFFFF, 0x0001, 0x8000, 0x0000, 0xA5C3}) {
        port.clear();
        setSdiBits(module, word);
        sendSDIBits(module);
        const FrameBits readBack = sdoBits(module);
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

void FrameTest::traceHandsItsPortTheFrameWhole() {
    // A port that sends a frame in one transfer must still get it in one
    // call when the frame is traced.
    QTemporaryDir dir;
    auto owned = std::make_unique<RecordingPort>();
    RecordingPort &port = *owned;
    TracingBackend tracing(std::move(owned), dir.filePath("t.vcd").toStdString());
    frameOn(tracing, 0x278, 0x8112);
    QCOMPARE(port.runs(), 1);
    QVERIFY(port.accesses() == expectedFrame(0x278, 0x8112));
}

QTEST_APPLESS_MAIN(FrameTest)
#include "test_frame.moc"
