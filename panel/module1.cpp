#include "panel/module1.h"

#include "panel/bit_boxes.h"
#include "word/control_word.h"
#include "word/readouts.h"

namespace {

std::int32_t wordOfBoxes(const ToolkitServices &ui, int firstBox) {
    BoxTexts texts;
    for (int k = 0; k < 16; ++k)
        texts[std::size_t(k)] = ui.boxText(firstBox + k);
    return wordFromBoxTexts(texts);
}

} // namespace

void GetSDIBits(Module1 &module) {
    for (int k = 0; k <= 15; ++k)
        module.SDIBits[std::size_t(15 - k)] = boxCountsAsOne(module.ui.boxText(k)) ? 1 : 0;
}

void SendFrame(Module1 &module) {
    GetSDIBits(module);
    sendSDIBits(module);
}

void SetSDIBoxes(Module1 &module, const QString &gainBits) {
    CheckValues values{};
    for (int m = 0; m < 8; ++m)
        values[std::size_t(m)] = module.ui.checkValue(m);
    const std::uint16_t word = wordFromControls(gainBits, values);

    // Mode bits 15..12, then the GPO bits 11..8, then the gain bits 5..0.
    static constexpr std::array<int, 14> WriteOrder{15, 14, 13, 12, 11, 10, 9, 8, 5, 4, 3, 2, 1, 0};
    for (int box : WriteOrder)
        module.ui.setBoxText(box, bitText((word >> box) & 1));
}

std::int32_t GetGainCode(Module1 &module) {
    module.ui.yield();
    QString text;
    for (int b = 5; b >= 0; --b)
        text += boxCountsAsOne(module.ui.boxText(b)) ? QLatin1Char('1') : QLatin1Char('0');
    return BitsToValue(text);
}

void SetSDOBoxes(Module1 &module) {
    for (int i = 0; i <= 15; ++i)
        module.ui.setBoxText(31 - i, bitText(module.SDOBits[std::size_t(i)] == 1));
}

void ShowSDIHex(Module1 &module) {
    module.ui.setReadoutText(Readout::SDIText, wordHexText(wordOfBoxes(module.ui, 0)));
}

void ShowSDOHex(Module1 &module) {
    module.ui.setReadoutText(Readout::SDOText, wordHexText(wordOfBoxes(module.ui, 16)));
}

void ShowGainHex(Module1 &module) {
    const std::int32_t position = module.ui.sliderPosition();
    module.ui.setReadoutText(Readout::GainText, gainHexText(position));
}
