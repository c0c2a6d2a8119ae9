#include "link/checked.h"
#include "panel/bit_boxes.h"
#include "panel/module1.h"
#include "panel/panel_behaviour.h"
#include "support/fake_toolkit.h"
#include "support/recording_port.h"
#include "word/control_word.h"
#include "word/readouts.h"

#include <QTest>

namespace {

struct Bench {
    FakeToolkit ui;
    RecordingPort port;
    Module1 module{ui, port};
};

std::uint16_t sdiWord(const FakeToolkit &ui) {
    BoxTexts texts;
    for (int k = 0; k < 16; ++k)
        texts[std::size_t(k)] = ui.boxText(k);
    return std::uint16_t(wordFromBoxTexts(texts));
}

} // namespace

class ControlWordTest : public QObject {
    Q_OBJECT

private slots:
    void checkBoxFeedsItsBit_data();
    void checkBoxFeedsItsBit();
    void gainToBits_data();
    void gainToBits();
    void gainToBitsOverflow();
    void gainRoundTripThroughBoxes();
    void gainCodeReadingRule_data();
    void gainCodeReadingRule();
    void getGainCodeYieldsFirst();
    void bitsToValueAndWeights();
    void sdoBoxesInReceivingOrder();
    void wordReadouts_data();
    void wordReadouts();
    void gainReadout_data();
    void gainReadout();
    void sampleWordBothWays();
    void boxReadingRule_data();
    void boxReadingRule();
    void presetTakesEffectAtNextFrame_data();
    void presetTakesEffectAtNextFrame();
    void presetTouchesNoPort();
};

void ControlWordTest::checkBoxFeedsItsBit_data() {
    QTest::addColumn<int>("checkBox");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("box");
    QTest::newRow("DC Servo Off -> DC") << 0 << Checked << 15;
    QTest::newRow("CM Servo Enable -> CM") << 1 << Checked << 14;
    QTest::newRow("ZC Enable -> ZC") << 2 << Checked << 13;
    QTest::newRow("Over Range -> OR") << 3 << Checked << 12;
    QTest::newRow("GPO1 -> D1 (bit 8)") << 4 << Checked << 8;
    QTest::newRow("GPO2 -> D2 (bit 9)") << 5 << Checked << 9;
    QTest::newRow("GPO3 -> D3 (bit 10)") << 6 << Checked << 10;
    QTest::newRow("GPO4 -> D4 (bit 11)") << 7 << Checked << 11;
    QTest::newRow("greyed DC Servo Off gives 0") << 0 << Greyed << -1;
    QTest::newRow("greyed GPO4 gives 0") << 7 << Greyed << -1;
}

void ControlWordTest::checkBoxFeedsItsBit() {
    QFETCH(int, checkBox);
    QFETCH(int, value);
    QFETCH(int, box);

    Bench bench;
    // Boxes 7 and 6 hold texts SetSDIBoxes must leave alone.
    bench.ui.setBoxText(7, "x");
    bench.ui.setBoxText(6, "y");
    bench.ui.setCheckValue(checkBox, value);
    SetSDIBoxes(bench.module, GainToBits(0));

    for (int k = 0; k < 16; ++k) {
        if (k == 7 || k == 6)
            continue;
        QCOMPARE(bench.ui.boxText(k), k == box ? QStringLiteral(" 1") : QStringLiteral(" 0"));
    }
    QCOMPARE(bench.ui.boxText(7), "x");
    QCOMPARE(bench.ui.boxText(6), "y");

    CheckValues values{};
    values[std::size_t(checkBox)] = value;
    QCOMPARE(wordFromControls(std::int16_t(0), values), box < 0 ? 0 : 1 << box);
}

void ControlWordTest::gainToBits_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("bits");
    QTest::newRow("0") << 0 << "000000";
    QTest::newRow("1") << 1 << "000001";
    QTest::newRow("5") << 5 << "000101";
    QTest::newRow("18") << 18 << "010010";
    QTest::newRow("37") << 37 << "100101";
    QTest::newRow("63") << 63 << "111111";
    QTest::newRow("64 saturates") << 64 << "111111";
    QTest::newRow("100 saturates") << 100 << "111111";
    QTest::newRow("largest 16-bit code") << 32767 << "111111";
    QTest::newRow("negative stays zero") << -5 << "000000";
}

void ControlWordTest::gainToBits() {
    QFETCH(int, code);
    QFETCH(QString, bits);
    QCOMPARE(GainToBits(std::int16_t(code)), bits);
    if (code >= 0 && code <= 63)
        QCOMPARE(BitsToValue(bits), code);
}

void ControlWordTest::gainToBitsOverflow() {
    // The first subtraction leaves the 16-bit range: an overflow, not a wrap.
    QVERIFY_THROWS_EXCEPTION(OverflowError, GainToBits(-32768));
    QVERIFY_THROWS_EXCEPTION(OverflowError, GainToBits(-32740));
    QCOMPARE(GainToBits(-32736), "000000");
}

void ControlWordTest::gainRoundTripThroughBoxes() {
    Bench bench;
    for (int p = 0; p <= 63; ++p) {
        SetSDIBoxes(bench.module, GainToBits(std::int16_t(p)));
        QCOMPARE(GetGainCode(bench.module), p);
        QCOMPARE(sdiWord(bench.ui), p);
    }
}

void ControlWordTest::gainCodeReadingRule_data() {
    QTest::addColumn<QStringList>("boxes5to0");
    QTest::addColumn<int>("code");
    QTest::newRow("100101 is 37") << QStringList{" 1", " 0", " 0", " 1", " 0", " 1"} << 37;
    QTest::newRow("one without space is 0") << QStringList{"1", " 0", " 0", " 1", " 0", " 1"} << 5;
    QTest::newRow("empty is 0") << QStringList{" 1", " 0", " 0", " 1", " 0", ""} << 36;
    QTest::newRow("trailing space is 0") << QStringList{" 1 ", " 1", " 1", " 1", " 1", " 1"} << 31;
    QTest::newRow("lower case letters") << QStringList{" l", " 0", " 0", " 0", " 0", " 0"} << 0;
}

void ControlWordTest::gainCodeReadingRule() {
    QFETCH(QStringList, boxes5to0);
    QFETCH(int, code);

    Bench bench;
    for (int b = 5; b >= 0; --b)
        bench.ui.setBoxText(b, boxes5to0.at(5 - b));
    QCOMPARE(GetGainCode(bench.module), code);
}

void ControlWordTest::getGainCodeYieldsFirst() {
    // An event pending when the code is read runs before the boxes are read.
    Bench bench;
    bench.ui.post([&] { bench.ui.setBoxText(0, " 1"); });
    QCOMPARE(GetGainCode(bench.module), 1);
    QCOMPARE(bench.ui.yields(), 1);
}

void ControlWordTest::bitsToValueAndWeights() {
    QCOMPARE(BitsToValue("0100"), 16);
    QCOMPARE(BitsToValue(""), 0);
    QCOMPARE(BitsToValue("1111111"), 63);
    QCOMPARE(BitWeight(1), 1);
    QCOMPARE(BitWeight(16), 32768);
    QCOMPARE(BitWeight(17), 65536);
    for (std::int16_t n : {0, 18, -1, -32768, 32767})
        QCOMPARE(BitWeight(n), 0);
}

void ControlWordTest::sdoBoxesInReceivingOrder() {
    Bench bench;
    bench.module.SDOBits[0] = 1;
    SetSDOBoxes(bench.module);
    QCOMPARE(bench.ui.boxText(31), " 1");
    for (int k = 16; k < 31; ++k)
        QCOMPARE(bench.ui.boxText(k), " 0");
    ShowSDOHex(bench.module);
    QCOMPARE(bench.ui.readoutText(Readout::SDOText), "8000h");

    bench.module.SDOBits[0] = 0;
    bench.module.SDOBits[15] = 1;
    SetSDOBoxes(bench.module);
    QCOMPARE(bench.ui.boxText(16), " 1");
    QCOMPARE(bench.ui.boxText(31), " 0");
    ShowSDOHex(bench.module);
    QCOMPARE(bench.ui.readoutText(Readout::SDOText), "0001h");
}

void ControlWordTest::wordReadouts_data() {
    QTest::addColumn<int>("word");
    QTest::addColumn<QString>("text");
    QTest::newRow("0000h") << 0x0000 << "0000h";
    QTest::newRow("8000h") << 0x8000 << "8000h";
    QTest::newRow("0001h") << 0x0001 << "0001h";
    QTest::newRow("000Ah upper-case digit") << 0x000A << "000Ah";
    QTest::newRow("00A5h") << 0x00A5 << "00A5h";
    QTest::newRow("8112h") << 0x8112 << "8112h";
    QTest::newRow("FF3Fh largest the panel sends") << 0xFF3F << "FF3Fh";
    QTest::newRow("FFFFh") << 0xFFFF << "FFFFh";
}

void ControlWordTest::wordReadouts() {
    QFETCH(int, word);
    QFETCH(QString, text);

    Bench bench;
    for (int k = 0; k < 16; ++k) {
        const QString bit = (word >> k) & 1 ? " 1" : " 0";
        bench.ui.setBoxText(k, bit);
        bench.ui.setBoxText(16 + k, bit);
    }
    ShowSDIHex(bench.module);
    ShowSDOHex(bench.module);
    QCOMPARE(bench.ui.readoutText(Readout::SDIText), text);
    QCOMPARE(bench.ui.readoutText(Readout::SDOText), text);

    // A "1" without its leading space adds nothing.
    bench.ui.setBoxText(15, "1");
    ShowSDIHex(bench.module);
    QCOMPARE(bench.ui.readoutText(Readout::SDIText), wordHexText(word & 0x7FFF));
}

void ControlWordTest::gainReadout_data() {
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "00h";
    QTest::newRow("9") << 9 << "09h";
    QTest::newRow("10") << 10 << "0Ah";
    QTest::newRow("15") << 15 << "0Fh";
    QTest::newRow("16") << 16 << "10h";
    QTest::newRow("18") << 18 << "12h";
}

void ControlWordTest::gainReadout() {
    QFETCH(int, position);
    QFETCH(QString, text);

    Bench bench;
    bench.ui.setSliderPosition(position);
    ShowGainHex(bench.module);
    QCOMPARE(bench.ui.readoutText(Readout::GainText), text);
    QCOMPARE(gainHexText(0x1F3), "1F3h");
}

void ControlWordTest::sampleWordBothWays() {
    // Gain position 18 with "DC Servo Off" and "GPO1": 8112h.
    Bench bench;
    bench.ui.setCheckValue(0, Checked);
    bench.ui.setCheckValue(4, Checked);
    SetSDIBoxes(bench.module, GainToBits(18));
    ShowSDIHex(bench.module);
    QCOMPARE(bench.ui.readoutText(Readout::SDIText), "8112h");
    for (int k : {15, 8, 4, 1})
        QCOMPARE(bench.ui.boxText(k), " 1");

    const CheckValues values{Checked, 0, 0, 0, Checked, 0, 0, 0};
    QCOMPARE(wordFromControls(std::int16_t(18), values), 0x8112);
    QCOMPARE(wordHexText(wordFromControls(std::int16_t(18), values)), "8112h");
}

void ControlWordTest::boxReadingRule_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("bit");
    QTest::newRow("space one") << " 1" << 1;
    QTest::newRow("space zero") << " 0" << 0;
    QTest::newRow("one without the space") << "1" << 0;
    QTest::newRow("trailing space") << " 1 " << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("two spaces one") << "  1" << 0;
}

void ControlWordTest::boxReadingRule() {
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

void ControlWordTest::presetTakesEffectAtNextFrame_data() {
    QTest::addColumn<int>("preset");
    QTest::addColumn<int>("base");
    QTest::addColumn<QString>("title");
    QTest::newRow("LPT1") << 0 << 0x378 << "Kestrovia Quorvex   set to LPT1 (378h)";
    QTest::newRow("LPT2") << 1 << 0x278 << "Kestrovia Quorvex   set to LPT2 (278h)";
    QTest::newRow("LPT3") << 2 << 0x3BC << "Kestrovia Quorvex   set to LPT3 (3BCh)";
}

void ControlWordTest::presetTakesEffectAtNextFrame() {
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
    QCOMPARE(QString::fromLatin1(PresetMenu[std::size_t(preset)].caption),
             title.mid(title.indexOf(QLatin1String("LPT"))));
}

void ControlWordTest::presetTouchesNoPort() {
    FakeToolkit ui;
    RecordingPort port;
    port.failAt(0);
    Module1 module(ui, port);
    for (int preset : {0, 1, 2, 2, 0})
        choosePortPreset(module, preset);
    QVERIFY(port.accesses().empty());
    QCOMPARE(ui.title(), QStringLiteral("Kestrovia Quorvex   set to LPT1 (378h)"));
}

QTEST_APPLESS_MAIN(ControlWordTest)
#include "test_control_word.moc"
