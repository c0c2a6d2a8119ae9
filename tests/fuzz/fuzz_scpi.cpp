#include "instrument/scpi_instrument.h"
#include "link/simulated_board.h"

#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Any bytes as lines from a client, as the server cuts them: every line is
// answered with nothing or with one line, and nothing else happens.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    SimulatedBoard board(0x378);
    ScpiInstrument instrument(board, 0, "0");
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QByteArray &line : input.split('\n')) {
        if (line.size() > ScpiInstrument::MaxLineLength) {
            instrument.refuseLongLine();
            continue;
        }
        const QByteArray answer = instrument.execute(line);
        if (!answer.isEmpty() && (!answer.endsWith('\n') || answer.count('\n') != 1))
            std::abort();
    }
    return 0;
}
