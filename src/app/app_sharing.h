#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/share_picture.h"
#include "app/sharing.h"

namespace nimbra {

// Sharing with the real drawing and clipboard behind seams. The link is fixed at creation;
// each theme's PNG is drawn once, on first use, and kept (a failure is kept too: the link
// cannot change, so a second attempt would fail the same way). Main thread only.
class AppSharing final : public Sharing {
 public:
  static constexpr char kDataUrlPrefix[] = "data:image/png;base64,";
  static constexpr char kDownloadPath[] = "download";

  // The update server's base URL and the path "download" with exactly one "/" between
  // them, whether or not the base ends in one ("https://host" + "download" must not become
  // "https://hostdownload"). Empty without an update server: there is nothing to share, so
  // no picture is drawn and nothing is copied.
  static std::string shareLink(std::string_view updateBaseUrl);

  AppSharing(std::string link, QrPainter& painter, ClipboardWriter& clipboard);

  const std::string& link() const override { return link_; }
  std::optional<std::string> qrDataURL(bool dark) override;
  bool copyLink() override;
  bool copyQR(bool dark) override;
  bool copyText(const std::string& text) override { return clipboard_.putText(text); }

  // The PNG for a theme, or none when it cannot be made.
  const std::optional<std::vector<uint8_t>>& qrPNG(bool dark);

 private:
  std::string link_;
  QrPainter& painter_;
  ClipboardWriter& clipboard_;
  std::array<std::optional<std::optional<std::vector<uint8_t>>>, 2> pngs_;  // light, dark
};

}  // namespace nimbra
