#include "link/simulated_board.h"
#include "panel/window/panel_session.h"

#include <QApplication>
#include <QScreen>

#include <cstdio>
#include <cstring>

// Writes the window as a user sees it on the simulated board, menu bar and
// all, to the PNG file named on the command line: after start-up, or with
// "manual" in manual mode, two bits clicked since the last change was sent.
int main(int argc, char *argv[]) {
    const bool manual = argc == 3 && std::strcmp(argv[2], "manual") == 0;
    if (argc != 2 && !manual) {
        std::fprintf(stderr, "usage: quorvex-screenshot FILE.png [manual]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QuorvexControlPanel::installLook();

    SimulatedBoard board;
    PanelSession panel(board);
    panel.start();
    if (manual) {
        panel.window.setSliderPosition(10);
        panel.window.setCheckValue(2, Checked);
        for (int box : {12, 0})
            emit panel.window.Text1(box)->clicked();
    }
    QApplication::processEvents();

    if (!panel.window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "quorvex-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
