#include "platform/hidapi_backend.h"

#include <cerrno>
#include <cwchar>

#include <hidapi.h>
#include <locale.h>

#include "devicelink/iq.h"

namespace nimbra {
namespace {

int statusFromErrno(int error) { return IQ_STATUS_FROM_ERRNO(error != 0 ? error : EIO); }

// errno after a failed hidapi call, as the device link's platform status.
int statusFromErrno() { return statusFromErrno(errno); }

void appendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// hidapi hands out wchar_t strings (UTF-32 on Linux); absent strings become empty.
std::string utf8(const wchar_t* text) {
  std::string out;
  if (text == nullptr) return out;
  for (; *text != L'\0'; ++text) {
    const auto code = static_cast<uint32_t>(*text);
    const bool valid = code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    appendUtf8(out, valid ? code : 0xFFFD);
  }
  return out;
}

// hidapi converts the kernel's UTF-8 strings with the C library's locale; under the default
// "C" locale every non-ASCII name comes back empty. A thread-local UTF-8 LC_CTYPE for the
// duration of the enumeration fixes that without touching the rest of the process.
class Utf8CtypeScope {
 public:
  Utf8CtypeScope() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
    if (utf8_ != static_cast<locale_t>(0)) previous_ = uselocale(utf8_);
  }
  ~Utf8CtypeScope() {
    if (utf8_ == static_cast<locale_t>(0)) return;
    uselocale(previous_);
    freelocale(utf8_);
  }
  Utf8CtypeScope(const Utf8CtypeScope&) = delete;
  Utf8CtypeScope& operator=(const Utf8CtypeScope&) = delete;

 private:
  locale_t utf8_;
  locale_t previous_ = static_cast<locale_t>(0);
};

class HidapiConnection final : public HidConnection {
 public:
  explicit HidapiConnection(hid_device* device) : device_(device) {}
  ~HidapiConnection() override { hid_close(device_); }
  HidapiConnection(const HidapiConnection&) = delete;
  HidapiConnection& operator=(const HidapiConnection&) = delete;

  int write(std::span<const uint8_t, kHidReportSize> report) override {
    errno = 0;
    // Numbered report: byte 0 is the report ID and is sent as part of the 64 bytes.
    const int written = hid_write(device_, report.data(), report.size());
    return written < 0 ? statusFromErrno() : 0;
  }

  int read(std::span<uint8_t, kHidReportSize> buffer, std::chrono::milliseconds timeout) override {
    errno = 0;
    const int read =
        hid_read_timeout(device_, buffer.data(), buffer.size(), static_cast<int>(timeout.count()));
    return hidReadResult(read, errno);
  }

  // The kernel keeps up to 64 reports per open node; the bound only guards against a device
  // that never stops sending.
  void discardQueued() override {
    uint8_t scratch[kHidReportSize];
    for (int i = 0; i < 256; ++i) {
      if (hid_read_timeout(device_, scratch, sizeof scratch, 0) <= 0) return;
    }
  }

 private:
  hid_device* device_;
};

}  // namespace

int hidReadResult(int returned, int error) {
  if (returned >= 0) return returned;
  if (error == EINTR) return 0;
  return statusFromErrno(error);
}

HidapiBackend::~HidapiBackend() {
  if (initialised_) hid_exit();
}

bool HidapiBackend::ensureInitialised() {
  if (!initialised_) initialised_ = hid_init() == 0;
  return initialised_;
}

std::vector<HidDeviceInfo> HidapiBackend::enumerate(uint16_t vendorId, uint16_t productId) {
  std::vector<HidDeviceInfo> listed;
  Utf8CtypeScope utf8Strings;
  if (!ensureInitialised()) return listed;
  hid_device_info* devices = hid_enumerate(vendorId, productId);
  for (const hid_device_info* info = devices; info != nullptr; info = info->next) {
    listed.push_back({info->path != nullptr ? info->path : "", utf8(info->serial_number),
                      utf8(info->product_string), utf8(info->manufacturer_string)});
  }
  hid_free_enumeration(devices);
  return listed;
}

HidOpenResult HidapiBackend::open(const std::string& path) {
  if (!ensureInitialised()) return {nullptr, IQ_STATUS_FROM_ERRNO(EIO)};
  errno = 0;
  hid_device* device = hid_open_path(path.c_str());
  if (device == nullptr) return {nullptr, statusFromErrno()};
  return {std::make_unique<HidapiConnection>(device), 0};
}

}  // namespace nimbra
