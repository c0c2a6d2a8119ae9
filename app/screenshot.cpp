#include "link/simulated_board.h"
#include "panel/panel_session.h"

#include <QApplication>
#include <QScreen>

#include <cstdio>

// Writes the window as a user sees it after start-up on the simulated board,
// menu bar and all, to the PNG file named on the command line.
int main(int argc, char *argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvex-screenshot FILE.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    QuorvexControlPanel::installLook();

    SimulatedBoard board;
    PanelSession panel(board);
    panel.start();
    QApplication::processEvents();

    if (!panel.window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "quorvex-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
