#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace nimbra {

// A command frame: 3F, length, address (C0 for hop 0, C9 otherwise), control byte (flag 0x40,
// low two command bits, payload size class in bits 2-3), high command bits, payload, CRC-8
// over everything after the address byte. Payloads of 0, 4, 14 or 24 bytes give frames of 6,
// 10, 20 or 30 bytes.
//
// Any other payload length or a command outside 0 .. 1023 is a programming error: the frame
// is then empty, and iq_exchange refuses an empty frame as a bad argument. Pure; any thread.
std::vector<uint8_t> makeFrame(int command, int hop, std::span<const uint8_t> payload, bool flag);

}  // namespace nimbra
