#pragma once

#include <QImage>

// The panel's icon, an amplifier symbol with a gain arrow, drawn at any size.
// Needs no display, so the build can write it out for the desktop menu.
QImage panelIconImage(int size);
