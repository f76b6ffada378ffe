// The share actions' clipboard, read back by another X client (xclip) while this process
// owns the clipboard and keeps its main loop running. Needs a display: CTest runs it under
// dbus-run-session and xvfb-run.

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "app/app_sharing.h"
#include "platform/gtk/gdk_clipboard.h"
#include "platform/gtk/qr_picture.h"

namespace nimbra {
namespace {

class ClipboardCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gtk_init(); }

  // `xclip -o -selection clipboard -t TARGET`, run while this main loop serves the request.
  static std::string readClipboard(const std::string& target) {
    GError* error = nullptr;
    GSubprocess* xclip = g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, "xclip", "-o",
                                          "-selection", "clipboard", "-t", target.c_str(), nullptr);
    if (xclip == nullptr) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
      return {};
    }
    struct Outcome {
      bool done = false;
      std::string bytes;
    } outcome;
    g_subprocess_communicate_async(
        xclip, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto* outcome = static_cast<Outcome*>(data);
          GBytes* out = nullptr;
          if (g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &out, nullptr,
                                              nullptr) &&
              out != nullptr) {
            gsize size = 0;
            const char* data = static_cast<const char*>(g_bytes_get_data(out, &size));
            outcome->bytes.assign(data, size);
          }
          if (out != nullptr) g_bytes_unref(out);
          outcome->done = true;
        },
        &outcome);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!outcome.done && std::chrono::steady_clock::now() < deadline) {
      g_main_context_iteration(nullptr, FALSE);
      g_usleep(500);
    }
    if (!outcome.done) g_subprocess_force_exit(xclip);
    g_object_unref(xclip);
    return outcome.bytes;
  }

  CairoQrPainter painter_;
  GdkClipboardWriter clipboard_;
  AppSharing sharing_{"https://updates.nimbra.invalid/download", painter_, clipboard_};
};

TEST_F(ClipboardCheck, CopyLinkOffersTextAndUriList) {
  ASSERT_TRUE(sharing_.copyLink());
  std::string targets = readClipboard("TARGETS");
  EXPECT_NE(targets.find("text/uri-list"), std::string::npos) << targets;
  EXPECT_NE(targets.find("UTF8_STRING"), std::string::npos) << targets;
  EXPECT_EQ(readClipboard("UTF8_STRING"), sharing_.link());
  EXPECT_EQ(readClipboard("text/uri-list"), sharing_.link() + "\r\n");
}

TEST_F(ClipboardCheck, CopyQrOffersTheSamePng) {
  ASSERT_TRUE(sharing_.copyQR(true));
  std::string targets = readClipboard("TARGETS");
  EXPECT_NE(targets.find("image/png"), std::string::npos) << targets;
  // The texture behind it gives the TIFF (and other) forms.
  EXPECT_NE(targets.find("image/tiff"), std::string::npos) << targets;
  const std::optional<std::vector<uint8_t>>& png = sharing_.qrPNG(true);
  ASSERT_TRUE(png);
  EXPECT_EQ(readClipboard("image/png"), std::string(png->begin(), png->end()));
}

}  // namespace
}  // namespace nimbra
