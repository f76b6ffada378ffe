#pragma once

// The fixed frames of the gesture and vibration writes, exactly as the device expects them.
// Their inner bytes (the first payload byte differs per frame) are not derived by nimbra:
// they are sent verbatim, converted from this hex text.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "device/setting.h"

namespace nimbra {

inline constexpr std::string_view kGestureOnFrame = "3f12c0480514050100000100ffffffffffff0009";
inline constexpr std::string_view kGestureOffFrame = "3f12c0480507050100000000ffffffffffff0022";
inline constexpr std::string_view kGestureConfirmFrame = "3f08c0440500ffff00c3";

struct VibrationFrames {
  std::string_view on;
  std::string_view off;
};

// v0 .. v3, in catalogue order.
inline constexpr std::array<VibrationFrames, kVibrationCount> kVibrationFrames{{
    {"3f12c04b040e0c000104001314151601011d0076", "3f12c04b045a0c000104001314151601010100d5"},
    {"3f12c04b04130d000104000202020201011d001a", "3f12c04b04470d000104000202020201010100b9"},
    {"3f12c04b04df0e000104000401010101011d00e6", "3f12c04b048b0e00010400040101010101010045"},
    {"3f12c04b04e40f000104000701010101011d00dc", "3f12c04b04b00f0001040007010101010101007f"},
}};

inline constexpr std::string_view kVibrationCommitFrame =
    "3f12c04b04bb0b000000002b2b2b2b010101005b";
inline constexpr std::string_view kVibrationConfirmFrame = "3f08c0470400ffff00da";

// The bytes of one of the frames above. Pure; any thread.
std::vector<uint8_t> fixedFrame(std::string_view hex);

}  // namespace nimbra
