#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/share_picture.h"

namespace nimbra {

// The share picture, drawn with libqrencode (level M, 8-bit data), cairo and pango.
//
// Geometry, in points: the code's matrix plus a 4-module margin scaled by 10 gives w pixels
// and G = w / 2 points; the canvas is (G + 24) × (G + 37) points, rendered at 2 pixels per
// point, so the code lands pixel for pixel (each module 10 × 10 pixels, no interpolation).
// The layout was given with the origin at the bottom left: the code at (12, 12), the title
// line's box resting on height G + 3, the scan hint's box on height 0; cairo's origin is at
// the top left, so the code's top edge is at J − 12 − G and a line resting on height h has
// its top at J − h − (line height). Main thread only (pango's font map).
class CairoQrPainter final : public QrPainter {
 public:
  struct Geometry {
    int modules = 0;  // the matrix's side, without the margin
    double side = 0;  // G, in points
    double width = 0;
    double height = 0;
    double codeLeft = 0;  // top-left corner of the code's G × G square, cairo coordinates
    double codeTop = 0;
  };
  static constexpr int kMarginModules = 4;
  static constexpr int kPixelsPerModule = 10;
  static constexpr double kPixelsPerPoint = 2;

  // None when the link cannot be encoded (too long for any QR version).
  static std::optional<Geometry> geometryFor(const std::string& link);
  // Glyphs pango could not find in any font, over both text lines (0 with the CJK font).
  static int unknownGlyphCount();

  std::optional<std::vector<uint8_t>> paintPng(const std::string& link,
                                               const SharePalette& palette) override;
};

}  // namespace nimbra
