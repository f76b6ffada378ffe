#include "platform/gtk/xdg_autostart.h"

#include <span>
#include <system_error>

#include <glib.h>

#include "core/file_system.h"

namespace nimbra {

XdgAutostart::XdgAutostart(const std::string& applicationId)
    : file_(std::filesystem::path(g_get_user_config_dir()) / "autostart" /
            (applicationId + ".desktop")) {}

Status XdgAutostart::install(const std::string& text) {
  // A configuration folder the user has not got yet is made as the desktop would: 0700.
  if (Status made = createDirectories(file_.parent_path(), 0700); !made) return made;
  return writeFileAtomically(file_,
                             std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

Status XdgAutostart::remove() {
  std::error_code ignored;
  if (!std::filesystem::exists(std::filesystem::symlink_status(file_, ignored))) return {};
  return removeFile(file_);
}

}  // namespace nimbra
