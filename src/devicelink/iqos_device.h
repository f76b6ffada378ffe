#pragma once

// The fixed facts of the one device kind nimbra serves, the "IQOS ILUMA i ONE": how it shows
// on USB, how the analysis server and the sample store name it, the parental-lock payloads,
// and how a command frame carries its 10-bit command key and hop. Every layer (the device
// link, the device model, storage, the server client, the simulator) takes them from here.
// Pure constants and arithmetic; any thread.

#include <array>
#include <cstdint>

namespace nimbra::iqos {

inline constexpr uint16_t kVendorId = 10073;  // 0x2759
inline constexpr uint16_t kProductId = 3;
inline constexpr char kProductName[] = "IQOS ILUMA i ONE";

// The profile: brand and model as the analysis server and the sample directories name them.
inline constexpr char kBrand[] = "iqos";
inline constexpr char kModel[] = "m0033";
inline constexpr char kTransport[] = "usb-hid";
inline constexpr char kAdapter[] = "iqos.iluma-one.v1";

// The parental lock's setting payloads.
inline constexpr std::array<uint8_t, 4> kLockOnPayload{0x02, 0xFF, 0x00, 0x00};
inline constexpr std::array<uint8_t, 4> kLockOffPayload{0x00, 0x00, 0x00, 0x00};

// Every report either way starts with 3F, the HID report ID, except the following parts of a
// multi-part history reply, which start with 40.
inline constexpr uint8_t kReportId = 0x3F;
inline constexpr uint8_t kHistoryPartMarker = 0x40;

// A frame is 3F, length, address, control, command-high, payload..., CRC-8. The command key
// (0 .. 1023) is split: its low two bits are the control byte's bits 0-1, the rest the
// command-high byte. The hop is bits 3-5 of the address; 0x40 in the control byte is the flag,
// 0x80 marks a reply.
inline constexpr int kMaxCommand = 1023;
inline constexpr uint8_t kFlagBit = 0x40;
inline constexpr uint8_t kReplyBit = 0x80;
inline constexpr uint8_t kKeyControlBits = 0x03;
// The address of a request: C0 for hop 0, C9 for any other hop.
inline constexpr uint8_t kHop0Address = 0xC0;
inline constexpr uint8_t kOtherHopAddress = 0xC9;
inline constexpr uint8_t kAddressHopBits = 0x38;
// In a reply's control byte: the command failed in the device's application.
inline constexpr uint8_t kApplicationErrorBit = 0x20;

// The history transfer: its command byte (after the hop-0 address) and a reply's status byte.
inline constexpr uint8_t kHistoryCommand = 0x10;
inline constexpr uint8_t kHistoryStatusSuccess = 0x90;
inline constexpr uint8_t kHistoryStatusFailure = 0xB0;

// The vibration settings: the selector byte of the first one; the others follow it.
inline constexpr uint8_t kFirstVibrationSelector = 0x0C;

constexpr uint8_t commandControlBits(int command) {
  return static_cast<uint8_t>(command & kKeyControlBits);
}
constexpr uint8_t commandHighByte(int command) { return static_cast<uint8_t>(command >> 2); }
constexpr unsigned commandKey(uint8_t control, uint8_t high) {
  return (control & kKeyControlBits) | (static_cast<unsigned>(high) << 2);
}
constexpr unsigned hopOfAddress(uint8_t address) { return (address >> 3) & 7u; }

}  // namespace nimbra::iqos
