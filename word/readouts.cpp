#include "word/readouts.h"

#include "word/module1.h"
#include "panel/toolkit_services.h"
#include "word/control_word.h"

namespace {

std::int32_t wordOfBoxes(const ToolkitServices &ui, int firstBox) {
    BoxTexts texts;
    for (int k = 0; k < 16; ++k)
        texts[std::size_t(k)] = ui.boxText(firstBox + k);
    return wordFromBoxTexts(texts);
}

} // namespace

QString wordHexText(std::int32_t value) {
    const QString digits = hexText(value);
    return QString(qMax(0, 4 - int(digits.size())), QLatin1Char('0')) + digits + QLatin1Char('h');
}

QString gainHexText(std::int32_t position) {
    const QString digits = hexText(position);
    return (digits.size() == 1 ? QStringLiteral("0") : QString()) + digits + QLatin1Char('h');
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
