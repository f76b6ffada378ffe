#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace nimbra {

// When the served device deserves the "fully charged" notification: once when its battery
// reaches 100 %, and again only after it has dropped below 90 % and reached 100 % once more.
// A device first seen already full has not just reached it, so it waits for the next cycle.
// The rule is kept per serial for as long as the program runs.
//
// Plain bookkeeping, main thread only; the composition root feeds it each read and sends.
class ChargeNotice {
 public:
  static constexpr int64_t kFull = 100;
  static constexpr int64_t kRearmBelow = 90;

  struct Texts {
    std::string title;
    std::string body;
  };

  // One reading of `serial`'s battery (absent: the read had none, which changes nothing).
  // True when the notification is due now.
  bool observe(const std::string& serial, std::optional<int64_t> battery);

  // The notification in the page's language ("zh" or "en"), naming the masked serial.
  static Texts texts(const std::string& language, const std::string& maskedSerial);

 private:
  // Per serial: whether reaching 100 % now would notify.
  std::map<std::string, bool> armed_;
};

}  // namespace nimbra
