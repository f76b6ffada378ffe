#include "update/update_phase.h"

#include <array>
#include <utility>

namespace nimbra {
namespace {

// The one table of the words.
constexpr std::array<std::pair<UpdatePhase, std::string_view>, 11> kWords{{
    {UpdatePhase::idle, "idle"},
    {UpdatePhase::checking, "checking"},
    {UpdatePhase::current, "current"},
    {UpdatePhase::rollback, "rollback"},
    {UpdatePhase::permission, "permission"},
    {UpdatePhase::downloading, "downloading"},
    {UpdatePhase::verifying, "verifying"},
    {UpdatePhase::ready, "ready"},
    {UpdatePhase::waiting, "waiting"},
    {UpdatePhase::installing, "installing"},
    {UpdatePhase::error, "error"},
}};

}  // namespace

std::string_view phaseText(UpdatePhase phase) {
  for (const auto& [each, word] : kWords) {
    if (each == phase) return word;
  }
  return "error";
}

std::optional<UpdatePhase> parsePhase(std::string_view text) {
  for (const auto& [phase, word] : kWords) {
    if (word == text) return phase;
  }
  return std::nullopt;
}

}  // namespace nimbra
