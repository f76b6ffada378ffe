#include "device/readings.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>

#include <time.h>

#include "core/hex.h"
#include "device/exchange.h"

namespace nimbra {
namespace {

// The device clock counts seconds from 2010-01-01 00:00:00 UTC.
constexpr std::time_t kDeviceEpoch = 1262304000;

unsigned u16(std::span<const uint8_t> p, std::size_t at) {
  return p[at] | (static_cast<unsigned>(p[at + 1]) << 8);
}

uint32_t u32(std::span<const uint8_t> p, std::size_t at) {
  return p[at] | (static_cast<uint32_t>(p[at + 1]) << 8) |
         (static_cast<uint32_t>(p[at + 2]) << 16) | (static_cast<uint32_t>(p[at + 3]) << 24);
}

std::string num(unsigned value) { return std::to_string(value); }

std::string softwareText(std::span<const uint8_t> p) {
  return num(p[2]) + "." + num(p[3]) + "." + num(p[4]) + " · 构建 " + num(u16(p, 5)) + " · App " +
         num(p[0]) + " · 公共参数 " + num(p[7]) + "/" + num(p[8]) + "." + num(p[9]) +
         " · 应用参数 " + num(p[10]) + "/" + num(p[11]) + "." + num(p[12]) + " · SBL " + num(p[13]);
}

std::string moduleSerialText(std::span<const uint8_t> p) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%04X%04X%04X%08" PRIX32, u16(p, 0), u16(p, 2), u16(p, 4),
                u32(p, 6));
  return text;
}

std::string deviceClockText(std::span<const uint8_t> p) {
  const std::time_t instant = kDeviceEpoch + (p.size() >= 4 ? u32(p, 0) : 0);
  std::tm local{};
  if (localtime_r(&instant, &local) == nullptr) return hexString(p);
  char text[128];
  const std::size_t length = std::strftime(text, sizeof text, "%x %X", &local);
  return length > 0 ? std::string(text, length) : hexString(p);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    std::size_t extra = 0;
    uint32_t min = 0, code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, code = lead & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string codentifyText(std::span<const uint8_t> p) {
  std::string text;
  for (uint8_t byte : p) {
    if (byte != 0) text.push_back(static_cast<char>(byte));
  }
  return isValidUtf8(text) ? text : hexString(p);
}

}  // namespace

std::string readingName(int command) {
  for (const auto& entry : kReadingNames) {
    if (entry.command == command) return std::string(entry.name);
  }
  return {};
}

std::string formatValue(int command, std::span<const uint8_t> p) {
  switch (command) {
    case 0:
      if (p.size() >= 14) return softwareText(p);
      break;
    case 1:
      if (p.size() >= 10) return moduleSerialText(p);
      break;
    case 3:
      if (p.size() >= 4) return num(u16(p, 0)) + "-" + num(p[2]) + "-" + num(p[3]);
      break;
    case 4:
      return deviceClockText(p);
    case 7:
    case 130:
    case 132:
      return std::to_string(p.size() >= 4 ? u32(p, 0) : 0) + "（原始字段）";
    case 12:
      return codentifyText(p);
    case 385:
      if (p.size() >= 4) {
        return num(p[2]) + "% · 电压原始值 " + num(u16(p, 0)) + " · 温度原始值 " + num(p[3]);
      }
      break;
    default:
      break;
  }
  return hexString(p);
}

Reading successReading(int hop, int command, std::span<const uint8_t> payload) {
  return Reading{
      Uuid::random(),     hop,  command,     readingName(command), formatValue(command, payload),
      hexString(payload), true, std::nullopt};
}

Reading errorReading(const Error& error, int hop, int command, std::string name) {
  Reading row{Uuid::random(), hop, command, std::move(name), error.message, {}, false, {}};
  if (error.is(kIqosDeviceDomain, kIqosApplicationErrorCode)) {
    if (auto it = error.userInfo.find(kPayloadKey); it != error.userInfo.end()) {
      row.raw = it->second;
      row.applicationError = it->second;
    }
  }
  return row;
}

}  // namespace nimbra
