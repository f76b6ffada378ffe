#include "platform/gtk/qr_picture.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <cairo.h>
#include <pango/pangocairo.h>
#include <qrencode.h>

namespace nimbra {
namespace {

constexpr double kCodeInset = 12;
constexpr double kExtraWidth = 24;
constexpr double kExtraHeight = 37;
constexpr double kTitleLineHeight = 3;  // above the bottom edge, plus G

struct QrDeleter {
  void operator()(QRcode* code) const { QRcode_free(code); }
};
struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using QrHandle = std::unique_ptr<QRcode, QrDeleter>;
using SurfaceHandle = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using ContextHandle = std::unique_ptr<cairo_t, ContextDeleter>;

QrHandle encode(const std::string& link) {
  return QrHandle(QRcode_encodeData(static_cast<int>(link.size()),
                                    reinterpret_cast<const unsigned char*>(link.data()), 0,
                                    QR_ECLEVEL_M));
}

std::string hexColour(const ShareColour& colour) {
  auto channel = [](double value) {
    return static_cast<unsigned>(std::clamp(value, 0.0, 1.0) * 65535.0 + 0.5);
  };
  char text[16];
  std::snprintf(text, sizeof text, "#%04x%04x%04x", channel(colour.red), channel(colour.green),
                channel(colour.blue));
  return text;
}

// 1024ths of a point; with the layout's resolution at 72 dpi a point is one canvas unit.
std::string span(std::string_view family, std::string_view weight, int points,
                 const ShareColour& colour, std::string_view text) {
  return "<span font_family=\"" + std::string(family) + "\" weight=\"" + std::string(weight) +
         "\" size=\"" + std::to_string(points * PANGO_SCALE) + "\" foreground=\"" +
         hexColour(colour) + "\">" + std::string(text) + "</span>";
}

std::string titleMarkup(const SharePalette& palette) {
  return span("monospace", "bold", 20, palette.foreground, kShareNameMonospaced) +
         span("sans-serif", "bold", 20, palette.accent, kShareNameAccent) +
         span("sans-serif", "medium", 18, palette.foreground, kShareTagline);
}

std::string hintMarkup(const SharePalette& palette) {
  return span("sans-serif", "medium", 17, palette.foreground, kShareScanHint);
}

PangoLayout* layoutFor(cairo_t* cr, const std::string& markup) {
  PangoLayout* layout = pango_cairo_create_layout(cr);
  pango_cairo_context_set_resolution(pango_layout_get_context(layout), 72);
  pango_layout_context_changed(layout);
  pango_layout_set_markup(layout, markup.c_str(), -1);
  return layout;
}

// Draws a line centred horizontally with its box resting on `height` above the bottom.
void drawLine(cairo_t* cr, const std::string& markup, const CairoQrPainter::Geometry& geometry,
              double height) {
  PangoLayout* layout = layoutFor(cr, markup);
  PangoRectangle logical;
  pango_layout_get_extents(layout, nullptr, &logical);
  double lineWidth = static_cast<double>(logical.width) / PANGO_SCALE;
  double lineHeight = static_cast<double>(logical.height) / PANGO_SCALE;
  cairo_move_to(cr, (geometry.width - lineWidth) / 2, geometry.height - height - lineHeight);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
}

// The code with its margin, one pixel per module, in the palette's two colours.
SurfaceHandle codeImage(const QRcode& code, const SharePalette& palette) {
  int side = code.width + 2 * CairoQrPainter::kMarginModules;
  SurfaceHandle image(cairo_image_surface_create(CAIRO_FORMAT_RGB24, side, side));
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  auto pixel = [](const ShareColour& colour) {
    auto channel = [](double value) {
      return static_cast<uint32_t>(std::clamp(value, 0.0, 1.0) * 255.0 + 0.5);
    };
    return 0xff000000u | channel(colour.red) << 16 | channel(colour.green) << 8 |
           channel(colour.blue);
  };
  uint32_t dark = pixel(palette.foreground), light = pixel(palette.background);
  cairo_surface_flush(image.get());
  unsigned char* data = cairo_image_surface_get_data(image.get());
  int stride = cairo_image_surface_get_stride(image.get());
  for (int y = 0; y < side; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + y * stride);
    for (int x = 0; x < side; ++x) {
      int mx = x - CairoQrPainter::kMarginModules, my = y - CairoQrPainter::kMarginModules;
      bool inside = mx >= 0 && my >= 0 && mx < code.width && my < code.width;
      bool set = inside && (code.data[my * code.width + mx] & 1) != 0;
      row[x] = set ? dark : light;
    }
  }
  cairo_surface_mark_dirty(image.get());
  return image;
}

cairo_status_t appendPng(void* closure, const unsigned char* data, unsigned int length) {
  auto* out = static_cast<std::vector<uint8_t>*>(closure);
  out->insert(out->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

std::optional<CairoQrPainter::Geometry> CairoQrPainter::geometryFor(const std::string& link) {
  QrHandle code = encode(link);
  if (!code) return std::nullopt;
  Geometry geometry;
  geometry.modules = code->width;
  double pixels = (code->width + 2 * kMarginModules) * kPixelsPerModule;  // w
  geometry.side = pixels * 0.5;
  geometry.width = geometry.side + kExtraWidth;
  geometry.height = geometry.side + kExtraHeight;
  geometry.codeLeft = kCodeInset;
  geometry.codeTop = geometry.height - kCodeInset - geometry.side;
  return geometry;
}

int CairoQrPainter::unknownGlyphCount() {
  SurfaceHandle surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1));
  ContextHandle cr(cairo_create(surface.get()));
  int unknown = 0;
  for (const std::string& markup :
       {titleMarkup(kLightSharePalette), hintMarkup(kLightSharePalette)}) {
    PangoLayout* layout = layoutFor(cr.get(), markup);
    unknown += pango_layout_get_unknown_glyphs_count(layout);
    g_object_unref(layout);
  }
  return unknown;
}

std::optional<std::vector<uint8_t>> CairoQrPainter::paintPng(const std::string& link,
                                                             const SharePalette& palette) {
  QrHandle code = encode(link);
  std::optional<Geometry> geometry = geometryFor(link);
  if (!code || !geometry) return std::nullopt;
  SurfaceHandle image = codeImage(*code, palette);
  if (!image) return std::nullopt;

  SurfaceHandle canvas(cairo_image_surface_create(
      CAIRO_FORMAT_ARGB32, static_cast<int>(geometry->width * kPixelsPerPoint),
      static_cast<int>(geometry->height * kPixelsPerPoint)));
  if (cairo_surface_status(canvas.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  ContextHandle cr(cairo_create(canvas.get()));
  cairo_scale(cr.get(), kPixelsPerPoint, kPixelsPerPoint);

  const ShareColour& background = palette.background;
  cairo_set_source_rgb(cr.get(), background.red, background.green, background.blue);
  cairo_paint(cr.get());

  double modulePoints = geometry->side / cairo_image_surface_get_width(image.get());
  cairo_save(cr.get());
  cairo_translate(cr.get(), geometry->codeLeft, geometry->codeTop);
  cairo_scale(cr.get(), modulePoints, modulePoints);
  cairo_set_source_surface(cr.get(), image.get(), 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_NEAREST);
  cairo_paint(cr.get());
  cairo_restore(cr.get());

  drawLine(cr.get(), titleMarkup(palette), *geometry, geometry->side + kTitleLineHeight);
  drawLine(cr.get(), hintMarkup(palette), *geometry, 0);

  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  cairo_surface_flush(canvas.get());
  std::vector<uint8_t> png;
  if (cairo_surface_write_to_png_stream(canvas.get(), appendPng, &png) != CAIRO_STATUS_SUCCESS) {
    return std::nullopt;
  }
  return png;
}

}  // namespace nimbra
