#include "link/frame_transfer.h"

#include "link/module1.h"
#include "link/port_access.h"
#include "panel/toolkit_services.h"
#include "word/control_word.h"

FrameBits wordToFrameBits(std::uint16_t word) {
    FrameBits bits{};
    for (int n = 0; n < 16; ++n)
        bits[n] = std::int16_t((word >> (15 - n)) & 1);
    return bits;
}

std::uint16_t frameBitsToWord(const FrameBits &bits) {
    std::uint16_t word = 0;
    for (int n = 0; n < 16; ++n) {
        if (bits[n] == 1)
            word |= std::uint16_t(1u << (15 - n));
    }
    return word;
}

std::int16_t decodeStatus(std::int16_t status) {
    return std::int16_t(((status >> 7) & 1) ^ 1);
}

FrameBits transferFrame(PortBackend &port, std::int16_t dataPort, std::int16_t statusPort,
                        std::uint16_t word) {
    const FrameBits sdi = wordToFrameBits(word);
    FrameBits sdo{};

    Out32(port, dataPort, SelectLine);
    Out32(port, dataPort, 0);

    for (int n = 0; n < 16; ++n) {
        Out32(port, dataPort, 0);
        Out32(port, dataPort, ClockLine);
        sdo[n] = decodeStatus(Inp32(port, statusPort));
        Out32(port, dataPort, 0);
    }

    for (int n = 0; n < 16; ++n) {
        const std::int16_t data = std::int16_t(SdiLine * sdi[n]);
        Out32(port, dataPort, data);
        Out32(port, dataPort, std::int16_t(data + ClockLine));
        Out32(port, dataPort, data);
    }

    Out32(port, dataPort, 0);
    Out32(port, dataPort, SelectLine);
    return sdo;
}

void GetSDIBits(Module1 &module) {
    for (int k = 0; k <= 15; ++k)
        module.SDIBits[15 - k] = boxCountsAsOne(module.ui.boxText(k)) ? 1 : 0;
}

void SendFrame(Module1 &module) {
    GetSDIBits(module);
    FrameBits sdi{};
    std::copy_n(module.SDIBits.begin(), sdi.size(), sdi.begin());
    const FrameBits sdo =
        transferFrame(module.port, module.DataPort, module.StatusPort, frameBitsToWord(sdi));
    std::copy(sdo.begin(), sdo.end(), module.SDOBits.begin());
}
