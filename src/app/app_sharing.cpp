#include "app/app_sharing.h"

#include "core/base64.h"

namespace nimbra {

std::string AppSharing::shareLink(std::string_view updateBaseUrl) {
  if (updateBaseUrl.empty()) return {};
  std::string link(updateBaseUrl);
  if (link.empty() || link.back() != '/') link += '/';
  return link + kDownloadPath;
}

AppSharing::AppSharing(std::string link, QrPainter& painter, ClipboardWriter& clipboard)
    : link_(std::move(link)), painter_(painter), clipboard_(clipboard) {}

const std::optional<std::vector<uint8_t>>& AppSharing::qrPNG(bool dark) {
  auto& slot = pngs_[dark ? 1 : 0];
  if (!slot && link_.empty()) slot = std::optional<std::vector<uint8_t>>();
  if (!slot) slot = painter_.paintPng(link_, sharePalette(dark));
  return *slot;
}

std::optional<std::string> AppSharing::qrDataURL(bool dark) {
  const std::optional<std::vector<uint8_t>>& png = qrPNG(dark);
  if (!png) return std::nullopt;
  return kDataUrlPrefix + base64Encode(*png);
}

bool AppSharing::copyLink() { return !link_.empty() && clipboard_.putLink(link_); }

bool AppSharing::copyQR(bool dark) {
  const std::optional<std::vector<uint8_t>>& png = qrPNG(dark);
  return png && clipboard_.putPng(*png);
}

}  // namespace nimbra
