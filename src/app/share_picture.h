#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra {

// The QR picture's colours, sRGB with alpha 1, and the texts drawn under and over the code.
struct ShareColour {
  double red, green, blue;
};
struct SharePalette {
  ShareColour background;
  ShareColour foreground;  // QR modules and text
  ShareColour accent;      // the second part of the product name
};

inline constexpr SharePalette kLightSharePalette{
    {0.941, 0.937, 0.98}, {0.1, 0.1, 0.17}, {0.31, 0.22, 0.61}};
inline constexpr SharePalette kDarkSharePalette{
    {0.145, 0.169, 0.263}, {0.941, 0.941, 1.0}, {0.77, 0.69, 1.0}};

inline const SharePalette& sharePalette(bool dark) {
  return dark ? kDarkSharePalette : kLightSharePalette;
}

// The title line: the product name in two parts, then the tagline; and the bottom line.
inline constexpr std::string_view kShareNameMonospaced = "ni";
inline constexpr std::string_view kShareNameAccent = "mbra";
inline constexpr std::string_view kShareTagline = "电子烟控制器";
inline constexpr std::string_view kShareScanHint = "扫码下载";

// Draws the QR picture of a link: the code with a 4-module margin, the title line above it
// and the scan hint below, on the palette's background. The real one uses libqrencode,
// cairo and pango (platform/gtk/qr_picture.h). Main thread only.
class QrPainter {
 public:
  virtual ~QrPainter() = default;
  // The picture as PNG, or none when it cannot be made.
  virtual std::optional<std::vector<uint8_t>> paintPng(const std::string& link,
                                                       const SharePalette& palette) = 0;
};

// The desktop clipboard. Each answers whether the clipboard took the item. Main thread only.
class ClipboardWriter {
 public:
  virtual ~ClipboardWriter() = default;
  // The link as plain text and as a one-entry URI list.
  virtual bool putLink(const std::string& link) = 0;
  // A picture, offered as "image/png" (and whatever else the toolkit converts it to).
  virtual bool putPng(std::span<const uint8_t> png) = 0;
  // Plain text only.
  virtual bool putText(const std::string& text) = 0;
};

}  // namespace nimbra
