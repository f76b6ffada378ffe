#include "update/install_progress.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "core/file_system.h"

namespace nimbra::InstallProgress {
namespace {

constexpr std::array<std::pair<Step, const char*>, 7> kNames{{
    {Step::waiting, "waiting"},
    {Step::staged, "staged"},
    {Step::proving, "proving"},
    {Step::failed, "failed"},
    {Step::proven, "proven"},
    {Step::parked, "parked"},
    {Step::swapped, "swapped"},
}};

}  // namespace

const char* name(Step step) {
  for (const auto& [known, text] : kNames) {
    if (known == step) return text;
  }
  return "";
}

std::optional<Step> parse(std::string_view text) {
  for (const auto& [step, known] : kNames) {
    if (text == known) return step;
  }
  return std::nullopt;
}

Status record(const std::filesystem::path& jobDirectory, Step step) {
  std::string_view text = name(step);
  return writeFileAtomically(jobDirectory / kFile,
                             std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::optional<Step> read(const std::filesystem::path& jobDirectory) {
  Result<std::string> text = readFile(jobDirectory / kFile);
  if (!text) return std::nullopt;
  return parse(*text);
}

}  // namespace nimbra::InstallProgress
