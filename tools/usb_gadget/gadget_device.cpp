#include "gadget_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "gadget_profile.h"

namespace nimbra::gadget {
namespace {

constexpr std::size_t kReportSize = 64;

GadgetIdentity identity(const std::string& name, const std::string& product,
                        const std::string& serial, const std::string& manufacturer,
                        const std::string& udc) {
  return {name, kVendorId, kProductId, product, serial, manufacturer, udc};
}

std::string failure(const Error& error) { return "error " + error.message; }

}  // namespace

GadgetDevice::GadgetDevice(std::unique_ptr<ConfigfsGadget> gadget,
                           std::unique_ptr<ConfigfsGadget> other)
    : gadget_(std::move(gadget)), other_(std::move(other)), device_(gadgetDeviceState()) {}

Result<std::unique_ptr<GadgetDevice>> GadgetDevice::create(const std::string& udc,
                                                           const std::string& otherUdc) {
  auto gadget = ConfigfsGadget::create(identity("iluma", kProduct, kSerial, kManufacturer, udc));
  if (!gadget) return gadget.error();
  auto other = ConfigfsGadget::create(
      identity("other", kOtherProduct, kOtherSerial, kOtherManufacturer, otherUdc));
  if (!other) return other.error();
  return std::unique_ptr<GadgetDevice>(
      new GadgetDevice(std::move(gadget.value()), std::move(other.value())));
}

Status GadgetDevice::plug() {
  if (gadget_->bound()) return {};
  if (Status bound = gadget_->bind(); !bound) return bound;
  auto path = gadget_->hidgPath();
  if (!path) return path.error();
  hidg_ = ::open(path->c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (hidg_ < 0) return Error::posix(errno, "open " + *path);
  return {};
}

// Replies still queued are lost with the cable, as they would be on a real unplug.
Status GadgetDevice::unplug() {
  if (hidg_ >= 0) ::close(hidg_);
  hidg_ = -1;
  replies_.clear();
  return gadget_->unbind();
}

void GadgetDevice::resetState() {
  device_ = gadgetDeviceState();
  replies_.clear();
  dropReplies_ = 0;
  replyDelay_ = std::chrono::milliseconds(0);
  unplugOnRequest_ = 0;
  plugAt_.reset();
  unplugAt_.reset();
}

bool GadgetDevice::wantsToWrite() const {
  return hidg_ >= 0 && !replies_.empty() &&
         replies_.front().due <= std::chrono::steady_clock::now();
}

void GadgetDevice::onReadable() {
  std::vector<uint8_t> request(kReportSize);
  for (;;) {
    const ssize_t got = ::read(hidg_, request.data(), request.size());
    if (got <= 0) return;  // EAGAIN: all read; anything else: the host side went away
    request.resize(static_cast<std::size_t>(got));
    answer(request);
    if (hidg_ < 0) return;  // the request unplugged the device
    request.resize(kReportSize);
  }
}

void GadgetDevice::answer(const std::vector<uint8_t>& request) {
  ++requests_;
  if (unplugOnRequest_ > 0 && --unplugOnRequest_ == 0) {
    if (Status gone = unplug(); !gone)
      std::fprintf(stderr, "gadget: %s\n", failure(gone.error()).c_str());
    return;
  }
  // The device acts on the request even when its reply gets lost.
  std::vector<std::vector<uint8_t>> replies = sim::respond(device_, request);
  if (dropReplies_ > 0) {
    --dropReplies_;
    return;
  }
  const TimePoint due = std::chrono::steady_clock::now() + replyDelay_;
  for (auto& reply : replies) {
    reply.resize(kReportSize, 0);
    replies_.push_back({due, std::move(reply)});
  }
}

void GadgetDevice::onWritable() {
  while (wantsToWrite()) {
    const std::vector<uint8_t>& report = replies_.front().report;
    const ssize_t written = ::write(hidg_, report.data(), report.size());
    if (written < 0 && errno == EAGAIN) return;  // the host has not taken the previous one
    if (written < 0) std::fprintf(stderr, "gadget: write: %s\n", std::strerror(errno));
    replies_.pop_front();
  }
}

std::optional<GadgetDevice::TimePoint> GadgetDevice::nextDue() const {
  std::optional<TimePoint> next;
  const auto consider = [&next](const std::optional<TimePoint>& when) {
    if (when && (!next || *when < *next)) next = when;
  };
  consider(plugAt_);
  consider(unplugAt_);
  // A reply already due waits for POLLOUT, not for a timer.
  if (!replies_.empty() && replies_.front().due > std::chrono::steady_clock::now()) {
    consider(replies_.front().due);
  }
  return next;
}

void GadgetDevice::runDue() {
  const TimePoint now = std::chrono::steady_clock::now();
  if (unplugAt_ && *unplugAt_ <= now) {
    unplugAt_.reset();
    if (Status gone = unplug(); !gone)
      std::fprintf(stderr, "gadget: %s\n", failure(gone.error()).c_str());
  }
  if (plugAt_ && *plugAt_ <= now) {
    plugAt_.reset();
    if (Status back = plug(); !back)
      std::fprintf(stderr, "gadget: %s\n", failure(back.error()).c_str());
  }
}

std::string GadgetDevice::command(const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  std::string argument;
  words >> verb >> argument;
  long number = -1;
  if (!argument.empty() && argument.find_first_not_of("0123456789") == std::string::npos &&
      argument.size() < 9) {
    number = std::stol(argument);
  }
  const auto after = [number] {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(number);
  };
  const auto result = [](const Status& status) {
    return status ? std::string("ok") : failure(status.error());
  };

  if (verb == "plug") return result(plug());
  if (verb == "unplug") return result(unplug());
  if (verb == "requests") return "ok " + std::to_string(requests_);
  if (verb == "reset") {
    resetState();
    if (Status gone = other_->unbind(); !gone) return failure(gone.error());
    return result(plug());
  }
  if (verb == "other" && argument == "plug") return result(other_->bind());
  if (verb == "other" && argument == "unplug") return result(other_->unbind());
  if (verb == "unplug-on-request" && argument.empty()) number = 1;
  if (number < 0) return "error unknown command or missing number: " + line;
  if (verb == "unplug-on-request") {
    unplugOnRequest_ = static_cast<int>(number);
    return "ok";
  }
  if (verb == "unplug-for") {
    plugAt_ = after();
    return result(unplug());
  }
  if (verb == "plug-after") {
    plugAt_ = after();
    return "ok";
  }
  if (verb == "unplug-after") {
    unplugAt_ = after();
    return "ok";
  }
  if (verb == "drop") {
    dropReplies_ = static_cast<int>(number);
    return "ok";
  }
  if (verb == "delay") {
    replyDelay_ = std::chrono::milliseconds(number);
    return "ok";
  }
  return "error unknown command: " + line;
}

}  // namespace nimbra::gadget
