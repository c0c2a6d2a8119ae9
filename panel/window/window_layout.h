#pragma once

#include "word/control_word.h"

#include <array>

// The window's fixed layout in twips, as the form was drawn: 15 twips make a
// pixel at 96 dots per inch. Positions are relative to the control's container.
namespace Layout {

struct Rect {
    int left, top, width, height;
};

constexpr int toPixels(int twips) {
    return (twips + 7) / 15;
}

inline constexpr int ClientWidth = 11550;
inline constexpr int ClientHeight = 5325;

inline constexpr Rect SoftMC{120, 240, 2055, 4935};
inline constexpr Rect Gaincontrol{2400, 240, 9015, 1815};
inline constexpr Rect ManControl{2400, 2160, 9015, 3015};

// Mode frame: eight check boxes in a column, the note under "Over Range".
inline constexpr std::array<const char *, 8> SoftModeCaptions = CheckBoxName;
inline constexpr std::array<int, 8> SoftModeTops{360, 840, 1320, 1800, 2880, 3360, 3840, 4320};
inline constexpr int SoftModeLeft = 120;
inline constexpr int SoftModeWidth = 1695;
inline constexpr int SoftModeHeight = 375;
inline constexpr Rect Label5{360, 2280, 1455, 255};

// Gain frame.
inline constexpr Rect LabelGain{240, 360, 495, 255};
inline constexpr Rect DB{600, 360, 615, 285};
inline constexpr Rect LabeldB{1320, 360, 375, 255};
inline constexpr Rect Label1{2640, 360, 855, 255};
inline constexpr Rect GainText{3360, 360, 615, 285};
inline constexpr Rect Label3{120, 840, 255, 255};
inline constexpr Rect GainSlider{340, 840, 8295, 495};
inline constexpr Rect Label2{8640, 840, 255, 255};
// The scale labels stand centred under the slider's ticks, wherever the
// running style draws them.
inline constexpr int ScaleTop = 1440;
inline constexpr int ScaleSize = 255;

// Manual-control frame.
inline constexpr Rect LabelSDI{240, 360, 495, 255};
inline constexpr Rect SDIText{720, 360, 975, 285};
inline constexpr Rect Update{3480, 240, 1935, 375};
inline constexpr Rect Clear{6600, 240, 1935, 375};
inline constexpr Rect SDI{480, 600, 8055, 975};
inline constexpr Rect LabelSDO{240, 1680, 495, 255};
inline constexpr Rect SDOText{720, 1680, 975, 285};
inline constexpr Rect SDO{480, 1920, 8055, 975};

// Bit rows, indexed by word bit k: the box's left, the column label's left
// and width, and the captions over the SDI and SDO rows.
struct BitColumn {
    int boxLeft;
    int labelLeft;
    int labelWidth;
    const char *sdiCaption;
    const char *sdoCaption;
};

inline constexpr std::array<BitColumn, 16> BitColumns{{
    {7440, 7470, 240, "G0", "G0"},
    {6990, 7050, 210, "G1", "G1"},
    {6540, 6570, 240, "G2", "G2"},
    {6090, 6120, 240, "G3", "G3"},
    {5550, 5580, 240, "G4", "G4"},
    {5100, 5130, 240, "G5", "G5"},
    {4650, 4740, 120, "0", "0"},
    {4200, 4290, 120, "0", "0"},
    {3495, 3540, 210, "D1", "D1"},
    {3045, 3075, 240, "D2", "D2"},
    {2595, 2595, 240, "D3", "D3"},
    {2145, 2160, 240, "D4", "D4"},
    {1590, 1590, 240, "OR", "OL"},
    {1140, 1155, 210, "ZC", "ZC"},
    {690, 675, 270, "CM", "CM"},
    {240, 240, 240, "DC", "DC"},
}};
inline constexpr int BoxTop = 480;
inline constexpr int BoxWidth = 330;
inline constexpr int BoxHeight = 360;
inline constexpr int ColumnLabelTop = 240;
inline constexpr int ColumnLabelHeight = 165;

// The red line along the left edge of each bit row, from its top edge down to
// the top of the leftmost box.
inline constexpr int RowLineX = 240;
inline constexpr int RowLineBottom = 485;

} // namespace Layout
