#include "update/update_phase.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace nimbra {
namespace {

// The page's words, as resources/web reads them; the table must give each back to its phase.
TEST(UpdatePhase, EveryPhaseHasItsOwnWordAndParsesBack) {
  const std::pair<UpdatePhase, const char*> kPage[] = {
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
  };
  std::set<std::string> words;
  for (const auto& [phase, word] : kPage) {
    EXPECT_EQ(phaseText(phase), word);
    EXPECT_EQ(parsePhase(word), phase) << word;
    words.insert(word);
  }
  EXPECT_EQ(words.size(), std::size(kPage));
  for (const char* other : {"", "Idle", "done", "error "})
    EXPECT_EQ(parsePhase(other), std::nullopt);
}

}  // namespace
}  // namespace nimbra
