#include "sim/simulated_device.h"

#include <algorithm>
#include <thread>

#include "devicelink/crc8.h"
#include "devicelink/iqos_device.h"

namespace nimbra::sim {
namespace {

constexpr uint8_t kMarker = iqos::kReportId;
using iqos::kApplicationErrorBit;
using iqos::kReplyBit;

struct Request {
  uint8_t address = 0;
  uint8_t control = 0;
  uint8_t commandHigh = 0;
  int hop = 0;
  int command = 0;
  std::vector<uint8_t> payload;
};

// A well-formed command frame, or nothing for anything the device would not understand.
bool parseRequest(std::span<const uint8_t> report, Request& request) {
  if (report.size() < 6 || report[0] != kMarker) return false;
  const std::size_t n = report[1];
  if (n < 4 || n + 2 > report.size()) return false;
  if (crc8(report.subspan(3, n - 2)) != report[n + 1]) return false;
  request.address = report[2];
  request.control = report[3];
  request.commandHigh = report[4];
  request.hop = static_cast<int>(iqos::hopOfAddress(report[2]));
  request.command = static_cast<int>(iqos::commandKey(report[3], report[4]));
  request.payload.assign(report.begin() + 5, report.begin() + static_cast<std::ptrdiff_t>(n) + 1);
  return true;
}

// Same address, key and flag as the request, reply bit set, size class from the payload.
std::vector<uint8_t> replyFrame(const Request& request, std::span<const uint8_t> payload,
                                bool applicationError) {
  const uint8_t sizeClass = payload.size() >= 24   ? 3
                            : payload.size() >= 14 ? 2
                            : payload.size() >= 4  ? 1
                                                   : 0;
  uint8_t control = static_cast<uint8_t>((request.control & 0x43) | kReplyBit | (sizeClass << 2));
  if (applicationError) control |= kApplicationErrorBit;
  std::vector<uint8_t> frame(5 + payload.size() + 1);
  frame[0] = kMarker;
  frame[1] = static_cast<uint8_t>(payload.size() + 4);
  frame[2] = request.address;
  frame[3] = control;
  frame[4] = request.commandHigh;
  std::copy(payload.begin(), payload.end(), frame.begin() + 5);
  frame.back() = crc8(std::span<const uint8_t>(frame).subspan(3, payload.size() + 2));
  return frame;
}

std::vector<uint8_t> answerCommand(const SimulatedDeviceState& device, const Request& request) {
  const CommandKey key{request.hop, request.command};
  if (auto it = device.readings.find(key); it != device.readings.end()) {
    return replyFrame(request, it->second, false);
  }
  if (auto it = device.applicationErrors.find(key); it != device.applicationErrors.end()) {
    return replyFrame(request, it->second, true);
  }
  static const std::vector<uint8_t> kUnknownCommand{0x02, 0x00, 0x00, 0x00};
  return replyFrame(request, kUnknownCommand, true);
}

void refreshCrc(std::vector<uint8_t>& frame) {
  frame.back() = crc8(std::span<const uint8_t>(frame).subspan(3, frame.size() - 4));
}

std::vector<uint8_t> spoiled(std::vector<uint8_t> frame, ReplyFault fault) {
  switch (fault) {
    case ReplyFault::badCrc:
      frame.back() = static_cast<uint8_t>(frame.back() + 1);
      return frame;
    case ReplyFault::noReplyBit:
      frame[3] &= static_cast<uint8_t>(~kReplyBit);
      break;
    case ReplyFault::otherKey:
      frame[4] = static_cast<uint8_t>(frame[4] + 1);
      break;
    case ReplyFault::otherHop:
      frame[2] ^= 0x08;
      break;
    case ReplyFault::otherFlag:
      frame[3] ^= iqos::kFlagBit;
      break;
    case ReplyFault::none:
    case ReplyFault::drop:
      return frame;
  }
  refreshCrc(frame);
  return frame;
}

}  // namespace

SimulatedDeviceState ilumaOne(std::string serial) {
  SimulatedDeviceState device;
  device.serial = std::move(serial);
  device.readings = {
      // Software: App 1, version 2.4.1, build 291, common 3/1.0, application 5/2.1, SBL 7.
      {{0, 0},
       {0x01, 0x00, 0x02, 0x04, 0x01, 0x23, 0x01, 0x03, 0x01, 0x00, 0x05, 0x02, 0x01, 0x07}},
      {{0, 1}, {0x12, 0x00, 0x34, 0x00, 0x56, 0x00, 0x78, 0x56, 0x34, 0x12}},
      {{0, 128}, {0x10, 0x27, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00}},
      {{0, 129}, {0x01, 0x00, 0x00, 0x00}},
      {{0, 130}, {0x00, 0x00, 0x00, 0x00}},
      {{0, 385}, {0x6E, 0x0F, 0x57, 0x19}},  // 87 %, 3950, 25
      {{1, 0},
       {0x02, 0x00, 0x01, 0x09, 0x03, 0x45, 0x00, 0x03, 0x01, 0x00, 0x04, 0x00, 0x02, 0x05}},
      {{1, 129}, {0x03, 0x00, 0x00, 0x00}},
      {{1, 130}, {0x00, 0x00, 0x00, 0x00}},
      {{1, 134}, {0x05, 0x00, 0x00, 0x00, 0x2C, 0x01, 0x00, 0x00}},
  };
  return device;
}

std::vector<std::vector<uint8_t>> respond(SimulatedDeviceState& device,
                                          std::span<const uint8_t> report) {
  ++device.requestsReceived;
  const std::size_t frameLength =
      report.size() >= 2 ? std::min<std::size_t>(report[1] + 2u, report.size()) : report.size();
  device.frameLog.push_back(
      {{report.begin(), report.begin() + static_cast<std::ptrdiff_t>(frameLength)},
       std::this_thread::get_id()});
  if (device.vanishOnNextRequest) {
    device.vanishOnNextRequest = false;
    device.present = false;
    return {};
  }
  if (auto replies = respondToHistory(device.history, report)) return std::move(*replies);
  Request request;
  if (!parseRequest(report, request)) return {};
  std::vector<uint8_t> good;
  const bool flag = (request.control & iqos::kFlagBit) != 0;
  if (auto control = answerControl(device, request.hop, request.command, flag, request.payload)) {
    if (control->silent) return {};
    good = replyFrame(request, control->payload, control->applicationError);
  } else {
    good = answerCommand(device, request);
  }
  switch (device.fault) {
    case ReplyFault::none:
      return {good};
    case ReplyFault::drop:
      return {};
    default:
      break;
  }
  std::vector<std::vector<uint8_t>> replies{spoiled(good, device.fault)};
  if (device.goodReplyAfterFault) replies.push_back(std::move(good));
  return replies;
}

}  // namespace nimbra::sim
