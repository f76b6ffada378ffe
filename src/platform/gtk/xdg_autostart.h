#pragma once

#include <filesystem>
#include <string>

#include "app/desktop_seams.h"

namespace nimbra {

// The autostart entry "<application id>.desktop" in the user's XDG autostart folder
// ($XDG_CONFIG_HOME/autostart, by default ~/.config/autostart), which the desktop session
// starts at login. Written atomically. Main thread only.
class XdgAutostart final : public AutostartEntry {
 public:
  explicit XdgAutostart(const std::string& applicationId);

  Status install(const std::string& text) override;
  Status remove() override;

  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
};

}  // namespace nimbra
