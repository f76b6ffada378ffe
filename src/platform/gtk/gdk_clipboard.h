#pragma once

#include "app/share_picture.h"

namespace nimbra {

// The default display's clipboard (GdkClipboard). The link goes on as "text/plain" (UTF-8)
// and "text/uri-list"; other text as "text/plain" only; a picture as a texture, which GDK offers as
// "image/png" (and its other image formats). The clipboard then belongs to nimbra until another
// program takes it: other programs read it from nimbra while it runs. Main thread only.
class GdkClipboardWriter final : public ClipboardWriter {
 public:
  bool putLink(const std::string& link) override;
  bool putPng(std::span<const uint8_t> png) override;
  bool putText(const std::string& text) override;
};

}  // namespace nimbra
