#include "app/app_sharing.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "app/resource_location.h"
#include "core/base64.h"
#include "support/temporary_folder.h"

namespace nimbra {
namespace {

struct FakePainter : QrPainter {
  std::optional<std::vector<uint8_t>> paintPng(const std::string& link,
                                               const SharePalette& palette) override {
    ++calls;
    if (fail) return std::nullopt;
    std::vector<uint8_t> png(link.begin(), link.end());
    png.push_back(&palette == &kDarkSharePalette ? 'D' : 'L');
    return png;
  }
  int calls = 0;
  bool fail = false;
};

struct FakeClipboard : ClipboardWriter {
  bool putLink(const std::string& link) override {
    links.push_back(link);
    return accept;
  }
  bool putPng(std::span<const uint8_t> png) override {
    pngs.emplace_back(png.begin(), png.end());
    return accept;
  }
  bool putText(const std::string& text) override {
    links.push_back(text);
    return accept;
  }
  std::vector<std::string> links;
  std::vector<std::vector<uint8_t>> pngs;
  bool accept = true;
};

TEST(AppSharing, LinkJoinsBaseAndDownloadWithOneSlash) {
  EXPECT_EQ(AppSharing::shareLink("https://updates.example"), "https://updates.example/download");
  EXPECT_EQ(AppSharing::shareLink("https://updates.example/v1/"),
            "https://updates.example/v1/download");
}

// A build without an update server has no download address: nothing to draw or copy.
TEST(AppSharing, WithoutAnUpdateServerThereIsNothingToShare) {
  FakePainter painter;
  FakeClipboard clipboard;
  AppSharing sharing(AppSharing::shareLink(""), painter, clipboard);
  EXPECT_EQ(sharing.link(), "");
  EXPECT_FALSE(sharing.qrDataURL(false));
  EXPECT_FALSE(sharing.qrDataURL(true));
  EXPECT_FALSE(sharing.copyLink());
  EXPECT_FALSE(sharing.copyQR(false));
  EXPECT_EQ(painter.calls, 0);
  EXPECT_TRUE(clipboard.links.empty());
  EXPECT_TRUE(clipboard.pngs.empty());
}

TEST(AppSharing, DataUrlCarriesThePngOfTheThemeAndEachThemeIsDrawnOnce) {
  FakePainter painter;
  FakeClipboard clipboard;
  AppSharing sharing("https://x/download", painter, clipboard);
  std::optional<std::string> light = sharing.qrDataURL(false);
  ASSERT_TRUE(light);
  std::string expected = "https://x/downloadL";
  EXPECT_EQ(*light, "data:image/png;base64," +
                        base64Encode(std::vector<uint8_t>(expected.begin(), expected.end())));
  EXPECT_NE(sharing.qrDataURL(true), light);
  EXPECT_TRUE(sharing.copyQR(true));
  EXPECT_EQ(painter.calls, 2);
  ASSERT_EQ(clipboard.pngs.size(), 1u);
  EXPECT_EQ(clipboard.pngs[0].back(), 'D');
}

TEST(AppSharing, FailuresReachTheCaller) {
  FakePainter painter;
  painter.fail = true;
  FakeClipboard clipboard;
  AppSharing sharing("https://x/download", painter, clipboard);
  EXPECT_EQ(sharing.qrDataURL(false), std::nullopt);
  EXPECT_FALSE(sharing.copyQR(false));
  EXPECT_TRUE(clipboard.pngs.empty());
  clipboard.accept = false;
  EXPECT_FALSE(sharing.copyLink());
  EXPECT_EQ(clipboard.links, std::vector<std::string>{"https://x/download"});
}

TEST(ResourceLocation, PageIsFoundBesideTheProgramInEveryLayout) {
  namespace fs = std::filesystem;
  testing::TemporaryFolder folder("nimbra-resources");
  const fs::path& root = folder.path();
  auto touch = [](const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
  };
  touch(root / "usr/share/nimbra/web/index.html");
  fs::create_directories(root / "usr/share/icons/hicolor");
  touch(root / "nimbra.app/Contents/Resources/web/index.html");
  fs::create_directories(root / "empty/bin");

  EXPECT_EQ(ResourceLocation::pageFolder(root / "usr/bin/nimbra"), root / "usr/share/nimbra/web");
  EXPECT_EQ(ResourceLocation::iconFolders(root / "usr/bin/nimbra"),
            std::vector<fs::path>{root / "usr/share/icons"});
  EXPECT_EQ(ResourceLocation::pageFolder(root / "nimbra.app/Contents/bin/nimbra"),
            root / "nimbra.app/Contents/Resources/web");
  EXPECT_EQ(ResourceLocation::pageFolder(root / "empty/bin/nimbra"), std::nullopt);
}

}  // namespace
}  // namespace nimbra
