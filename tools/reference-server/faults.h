#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/error.h"

// The ways the reference server misbehaves on purpose, so tests can show how nimbra copes
// with a broken server. A fault applies to the answers of one path (or of every path) for a
// number of requests (or until cleared); the first matching fault wins.
namespace nimbra::refserver {

enum class FaultKind {
  delay,      // wait `delay`, then answer as usual
  status500,  // 500 with a JSON error body
  oversize,   // 200 with a body one byte over what nimbra accepts for that path
  malformed,  // 200 with JSON cut short
  redirect,   // 302 to the same address
};

struct Fault {
  FaultKind kind = FaultKind::status500;
  std::string path;  // without the leading slash, e.g. "v1/battery/estimate"; empty: every path
  int count = -1;    // requests it still spoils; negative: until cleared
  std::chrono::milliseconds delay{0};
};

std::optional<FaultKind> parseFaultKind(std::string_view text);
const char* faultKindName(FaultKind kind);

// The command-line form KIND[=MILLISECONDS][:PATH[:COUNT]], e.g. "status500",
// "delay=20000:v1/history/analyze" or "redirect:v1/app/updates/latest:1".
Result<Fault> parseFaultText(std::string_view text);
// The control endpoint's form {"kind":"delay","delayMs":20000,"path":"…","count":1}; only
// "kind" is required.
Result<Fault> faultFromJson(const nlohmann::json& json);

// The active faults. Any thread; one lock guards the list.
class FaultPlan {
 public:
  void add(Fault fault);
  void clear();
  // The fault that spoils this request of `path`, counting it against the fault's budget.
  std::optional<Fault> take(std::string_view path);

 private:
  std::mutex mutex_;
  std::vector<Fault> faults_;  // guarded by mutex_
};

}  // namespace nimbra::refserver
