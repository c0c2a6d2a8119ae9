#include "panel/window/panel_icon.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

// Writes the panel's icon as a PNG of the given size, for the desktop menu.
int main(int argc, char *argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quorvex-icon SIZE FILE.png\n");
        return 2;
    }
    const int size = std::atoi(argv[1]);
    if (size < 16 || size > 512 || !panelIconImage(size).save(QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "quorvex-icon: cannot write a %s-pixel icon to %s\n", argv[1],
                     argv[2]);
        return 1;
    }
    return 0;
}
