#pragma once

#include "devicelink/iqos_device.h"

// Fixed values every analysis-server request of nimbra carries.
namespace nimbra::HistoryAPI {

inline constexpr int kSchemaVersion = 1;
inline constexpr const char* kBrand = iqos::kBrand;
inline constexpr const char* kModel = iqos::kModel;

}  // namespace nimbra::HistoryAPI
