#include "app/charge_notice.h"

namespace nimbra {

bool ChargeNotice::observe(const std::string& serial, std::optional<int64_t> battery) {
  if (!battery) return false;
  auto [entry, first] = armed_.try_emplace(serial, *battery < kFull);
  bool& armed = entry->second;
  if (first) return false;
  if (*battery >= kFull && armed) {
    armed = false;
    return true;
  }
  if (*battery < kRearmBelow) armed = true;
  return false;
}

ChargeNotice::Texts ChargeNotice::texts(const std::string& language,
                                        const std::string& maskedSerial) {
  if (language == "zh") return {"IQOS ILUMA i ONE 已充满电", "序列号：" + maskedSerial};
  return {"IQOS ILUMA i ONE is fully charged", "Serial number: " + maskedSerial};
}

}  // namespace nimbra
