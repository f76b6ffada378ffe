// The history transfer. Not available yet: both requests report "no device" so callers take
// their ordinary failure path, and history replies are ignored.

#include "devicelink/iq.h"
#include "devicelink/iq_module.h"

namespace nimbra::iq {

void handleHistoryReport(const uint8_t* /*report*/, std::size_t /*length*/) {}

}  // namespace nimbra::iq

extern "C" int32_t iq_history_catalog(uint8_t* /*out*/) { return IQ_NO_DEVICE; }

extern "C" int32_t iq_history_entry(uint32_t /*directory*/, uint32_t /*position*/,
                                    uint8_t* /*out*/) {
  return IQ_NO_DEVICE;
}
