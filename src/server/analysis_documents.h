#pragma once

// Fixed values every analysis-server request of nimbra carries.
namespace nimbra::HistoryAPI {

inline constexpr int kSchemaVersion = 1;
inline constexpr char kBrand[] = "iqos";
inline constexpr char kModel[] = "m0033";

}  // namespace nimbra::HistoryAPI
