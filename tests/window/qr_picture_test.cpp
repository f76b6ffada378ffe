#include "platform/gtk/qr_picture.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <cairo.h>
#include <gtest/gtest.h>

namespace nimbra {
namespace {

namespace fs = std::filesystem;

struct Image {
  int width = 0, height = 0;
  std::vector<std::array<int, 3>> pixels;  // RGB, 0–255
};

cairo_status_t readBytes(void* closure, unsigned char* data, unsigned int length) {
  auto* source = static_cast<std::pair<const std::vector<uint8_t>*, size_t>*>(closure);
  if (source->second + length > source->first->size()) return CAIRO_STATUS_READ_ERROR;
  std::copy_n(source->first->data() + source->second, length, data);
  source->second += length;
  return CAIRO_STATUS_SUCCESS;
}

Image decode(const std::vector<uint8_t>& png) {
  std::pair<const std::vector<uint8_t>*, size_t> source{&png, 0};
  cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(readBytes, &source);
  Image image;
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    image.width = cairo_image_surface_get_width(surface);
    image.height = cairo_image_surface_get_height(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < image.height; ++y) {
      auto* row = reinterpret_cast<const uint32_t*>(data + y * stride);
      for (int x = 0; x < image.width; ++x) {
        uint32_t p = row[x];
        image.pixels.push_back({int(p >> 16 & 0xff), int(p >> 8 & 0xff), int(p & 0xff)});
      }
    }
  }
  cairo_surface_destroy(surface);
  return image;
}

std::array<double, 3> rgb(const ShareColour& c) {
  return {c.red * 255, c.green * 255, c.blue * 255};
}

// A light pixel is the background blended with the foreground or the accent by some
// coverage; the dark picture must show the same blend of its own colours.
std::array<double, 3> mapToDark(const std::array<int, 3>& light) {
  std::array<double, 3> bgL = rgb(kLightSharePalette.background);
  std::array<double, 3> best{};
  double bestError = 1e9;
  for (auto [inkL, inkD] :
       {std::pair{rgb(kLightSharePalette.foreground), rgb(kDarkSharePalette.foreground)},
        std::pair{rgb(kLightSharePalette.accent), rgb(kDarkSharePalette.accent)}}) {
    double dot = 0, norm = 0;
    for (int i = 0; i < 3; ++i) {
      dot += (light[i] - bgL[i]) * (inkL[i] - bgL[i]);
      norm += (inkL[i] - bgL[i]) * (inkL[i] - bgL[i]);
    }
    double a = std::clamp(dot / norm, 0.0, 1.0), error = 0;
    std::array<double, 3> dark{};
    std::array<double, 3> bgD = rgb(kDarkSharePalette.background);
    for (int i = 0; i < 3; ++i) {
      double predicted = bgL[i] + a * (inkL[i] - bgL[i]);
      error += (predicted - light[i]) * (predicted - light[i]);
      dark[i] = bgD[i] + a * (inkD[i] - bgD[i]);
    }
    if (error < bestError) bestError = error, best = dark;
  }
  return best;
}

std::string zbarDecode(const std::vector<uint8_t>& png, const std::string& name) {
  fs::path file = fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()) + ".png");
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  // -Stest-inverted: the dark picture is light modules on a dark ground, as phones read too.
  std::string command = "zbarimg --raw -q -Stest-inverted '" + file.string() + "' 2>/dev/null";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    ::pclose(pipe);
  }
  fs::remove(file);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

const std::string kShortLink = "https://updates.nimbra.invalid/download";
const std::string kLongLink =
    "https://updates.example.com/" + std::string(300, 'a') + "/download?channel=stable";

TEST(QrPicture, DecodesBackToTheLinkInBothThemes) {
  CairoQrPainter painter;
  for (const std::string& link : {kShortLink, kLongLink}) {
    for (bool dark : {false, true}) {
      std::optional<std::vector<uint8_t>> png = painter.paintPng(link, sharePalette(dark));
      ASSERT_TRUE(png);
      EXPECT_EQ(zbarDecode(*png, dark ? "qr-dark" : "qr-light"), link);
    }
  }
}

TEST(QrPicture, CodeIsGByGInsideACanvas24WiderAnd37Taller) {
  CairoQrPainter painter;
  for (const std::string& link : {kShortLink, kLongLink}) {
    std::optional<CairoQrPainter::Geometry> g = CairoQrPainter::geometryFor(link);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->side, (g->modules + 8) * 10 * 0.5);
    Image image = decode(*painter.paintPng(link, kLightSharePalette));
    EXPECT_EQ(image.width, 2 * (g->side + 24));
    EXPECT_EQ(image.height, 2 * (g->side + 37));
    // The finder pattern's outer corners sit 4 modules (40 px) inside the code's square,
    // which starts at (12, 12) from the bottom left: (24, 2J − 24 − 2G) in pixels.
    int left = 24, top = image.height - 24 - static_cast<int>(2 * g->side);
    int side = static_cast<int>(2 * g->side);
    auto at = [&](int x, int y) { return image.pixels[y * image.width + x]; };
    std::array<int, 3> ink{26, 26, 43}, paper{240, 239, 250};
    for (auto [x, y] : {std::pair{left + 40, top + 40}, std::pair{left + side - 41, top + 40},
                        std::pair{left + 40, top + side - 41}}) {
      EXPECT_EQ(at(x, y), ink) << x << "," << y;
    }
    EXPECT_EQ(at(left + 39, top + 40), paper);
    EXPECT_EQ(at(left + 40, top + 39), paper);
    EXPECT_GT(g->modules, 0);
  }
  EXPECT_LT(CairoQrPainter::geometryFor(kShortLink)->side,
            CairoQrPainter::geometryFor(kLongLink)->side);
}

TEST(QrPicture, DarkAndLightDifferOnlyInColours) {
  CairoQrPainter painter;
  Image light = decode(*painter.paintPng(kShortLink, kLightSharePalette));
  Image dark = decode(*painter.paintPng(kShortLink, kDarkSharePalette));
  ASSERT_EQ(light.width, dark.width);
  ASSERT_EQ(light.height, dark.height);
  int mismatches = 0;
  for (size_t i = 0; i < light.pixels.size(); ++i) {
    std::array<double, 3> expected = mapToDark(light.pixels[i]);
    for (int c = 0; c < 3; ++c) {
      if (std::abs(expected[c] - dark.pixels[i][c]) > 6) {
        ++mismatches;
        break;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(QrPicture, ChineseLinesHaveEveryGlyph) { EXPECT_EQ(CairoQrPainter::unknownGlyphCount(), 0); }

}  // namespace
}  // namespace nimbra
