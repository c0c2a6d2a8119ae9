#include "link/serial_link.h"

#include "link/frame_transfer.h"

#include <algorithm>

void sendSDIBits(SerialLink &link) {
    FrameBits sdi{};
    std::copy_n(link.SDIBits.begin(), sdi.size(), sdi.begin());
    const PortRegisters registers{std::uint16_t(link.DataPort), std::uint16_t(link.StatusPort)};
    const FrameBits sdo = wordToFrameBits(sendWord(link.port, registers, frameBitsToWord(sdi)));
    std::copy(sdo.begin(), sdo.end(), link.SDOBits.begin());
}
