#include "reference-server/faults.h"

#include <array>
#include <charconv>
#include <utility>

namespace nimbra::refserver {
namespace {

struct KindName {
  FaultKind kind;
  const char* name;
};
constexpr std::array<KindName, 5> kKindNames{{{FaultKind::delay, "delay"},
                                              {FaultKind::status500, "status500"},
                                              {FaultKind::oversize, "oversize"},
                                              {FaultKind::malformed, "malformed"},
                                              {FaultKind::redirect, "redirect"}}};

Error badFault(std::string message) {
  return Error::make("ReferenceServer", 2, std::move(message));
}

std::optional<long> parseNumber(std::string_view text) {
  long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

std::string_view nextField(std::string_view& rest) {
  size_t colon = rest.find(':');
  std::string_view field = rest.substr(0, colon);
  rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  return field;
}

std::string withoutLeadingSlash(std::string path) {
  while (!path.empty() && path.front() == '/') path.erase(path.begin());
  return path;
}

}  // namespace

std::optional<FaultKind> parseFaultKind(std::string_view text) {
  for (const KindName& entry : kKindNames) {
    if (text == entry.name) return entry.kind;
  }
  return std::nullopt;
}

const char* faultKindName(FaultKind kind) {
  for (const KindName& entry : kKindNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "?";
}

Result<Fault> parseFaultText(std::string_view text) {
  std::string_view rest = text;
  std::string_view head = nextField(rest);
  std::string_view kindText = head.substr(0, head.find('='));
  std::optional<FaultKind> kind = parseFaultKind(kindText);
  if (!kind) return badFault("unknown fault \"" + std::string(kindText) + "\"");
  Fault fault;
  fault.kind = *kind;
  if (size_t equals = head.find('='); equals != std::string_view::npos) {
    std::optional<long> milliseconds = parseNumber(head.substr(equals + 1));
    if (!milliseconds) return badFault("bad delay in \"" + std::string(text) + "\"");
    fault.delay = std::chrono::milliseconds(*milliseconds);
  }
  fault.path = withoutLeadingSlash(std::string(nextField(rest)));
  if (!rest.empty()) {
    std::optional<long> count = parseNumber(rest);
    if (!count) return badFault("bad count in \"" + std::string(text) + "\"");
    fault.count = static_cast<int>(*count);
  }
  return fault;
}

Result<Fault> faultFromJson(const nlohmann::json& json) {
  if (!json.is_object() || !json.contains("kind") || !json["kind"].is_string()) {
    return badFault("a fault needs \"kind\"");
  }
  std::optional<FaultKind> kind = parseFaultKind(json["kind"].get<std::string>());
  if (!kind) return badFault("unknown fault kind");
  Fault fault;
  fault.kind = *kind;
  if (json.contains("path")) {
    if (!json["path"].is_string()) return badFault("\"path\" is not a string");
    fault.path = withoutLeadingSlash(json["path"].get<std::string>());
  }
  if (json.contains("count")) {
    if (!json["count"].is_number_integer()) return badFault("\"count\" is not an integer");
    fault.count = json["count"].get<int>();
  }
  if (json.contains("delayMs")) {
    if (!json["delayMs"].is_number_unsigned()) return badFault("\"delayMs\" is not a count");
    fault.delay = std::chrono::milliseconds(json["delayMs"].get<int64_t>());
  }
  return fault;
}

void FaultPlan::add(Fault fault) {
  if (fault.count == 0) return;  // spoils nothing
  std::lock_guard lock(mutex_);
  faults_.push_back(std::move(fault));
}

void FaultPlan::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::optional<Fault> FaultPlan::take(std::string_view path) {
  std::lock_guard lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!it->path.empty() && it->path != path) continue;
    Fault taken = *it;
    if (it->count > 0 && --it->count == 0) faults_.erase(it);
    return taken;
  }
  return std::nullopt;
}

}  // namespace nimbra::refserver
