// The web view's contract with the page, against a test page (page/contract.html) in a real
// WebKitGTK view. Needs a display: CTest runs it under dbus-run-session and xvfb-run.

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <malloc.h>
#include <nlohmann/json.hpp>
#include <webkit/webkit.h>

#include "platform/gtk/web_page_view.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's count of live heap bytes (its allocator replaces malloc's).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace nimbra {
namespace {

using nlohmann::json;

class WebPageViewContract : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gtk_init(); }

  void SetUp() override {
    WebPageView::Options options;
    // Given by CTest, so the compiled check names no folder of this checkout.
    const char* folder = std::getenv("NIMBRA_CONTRACT_PAGE_DIR");
    ASSERT_NE(folder, nullptr) << "NIMBRA_CONTRACT_PAGE_DIR is not set";
    options.folder = folder;
    options.entry = "contract.html";
    WebPageView::Events events;
    events.finishedLoading = [this] { ++loads_; };
    events.message = [this](const std::string& body) { messages_.push_back(json::parse(body)); };
    events.rendered = [this](bool) { ++renders_; };
    view_ = std::make_unique<WebPageView>(options, std::move(events));
    window_ = gtk_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window_), 400, 300);
    gtk_window_set_child(GTK_WINDOW(window_), view_->widget());
    gtk_window_present(GTK_WINDOW(window_));
    view_->load();
    ASSERT_TRUE(iterateUntil([&] { return loads_ == 1; }));
  }

  void TearDown() override {
    gtk_window_destroy(GTK_WINDOW(window_));
    view_.reset();
  }

  // Bounded by what a user would call a hang, never an assertion on time.
  bool iterateUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      g_main_context_iteration(nullptr, FALSE);
      g_usleep(500);
    }
    return done();
  }

  // Posts `marker` from the page after `ms`, and waits for it: everything the page's
  // earlier actions could have caused has arrived by then.
  void settle(const std::string& marker, int ms = 300) {
    view_->evaluate("contract.later({action: '" + marker + "'}, " + std::to_string(ms) + ")");
    ASSERT_TRUE(iterateUntil([&] { return hasAction(marker); })) << marker;
  }

  bool hasAction(const std::string& action) const {
    for (const json& message : messages_) {
      if (message.is_object() && message.value("action", "") == action) return true;
    }
    return false;
  }

  std::string uri() const {
    const char* uri = webkit_web_view_get_uri(WEBKIT_WEB_VIEW(view_->widget()));
    return uri != nullptr ? uri : "";
  }

  // Bytes the UI process's allocator has handed out and not had back.
  static size_t allocatedBytes() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
  }

  // A state of about `bytes` whose "n" tells pushes apart.
  static std::string stateOfSize(int n, size_t bytes) {
    return json{{"n", n}, {"message", std::string(bytes, 'x')}}.dump();
  }

  // The "received" list the quiet render kept in the page.
  json received() {
    messages_.clear();
    view_->evaluate("contract.report()");
    EXPECT_TRUE(iterateUntil([&] { return hasAction("report"); }));
    return hasAction("report") ? messages_.back()["received"] : json();
  }

  std::unique_ptr<WebPageView> view_;
  GtkWidget* window_ = nullptr;
  int loads_ = 0;
  int renders_ = 0;
  std::vector<json> messages_;
};

TEST_F(WebPageViewContract, MessagesArriveAsTheSameJsonAndOnlyFromThePage) {
  json body = {{"action", "setting"},
               {"key", "flex"},
               {"value", true},
               {"x", 12.5},
               {"list", {1, "二", nullptr}},
               {"nested", {{"deep", false}}}};
  view_->evaluate("contract.post(" + body.dump() + ")");
  ASSERT_TRUE(iterateUntil([&] { return !messages_.empty(); }));
  EXPECT_EQ(messages_.front(), body);
  // The page's CSP holds under the scheme: its own script ran, the inline one did not.
  bool probed = false;
  view_->evaluate("contract.post({action: 'csp', inline: window.inlineScriptRan === true})");
  ASSERT_TRUE(iterateUntil([&] { return hasAction("csp"); }));
  for (const json& message : messages_) {
    if (message.value("action", "") == "csp") probed = !message["inline"].get<bool>();
  }
  EXPECT_TRUE(probed);
}

TEST_F(WebPageViewContract, FramesAndOtherDocumentsNeverPost) {
  view_->evaluate("contract.addFrame({src: 'frame.html'})");
  view_->evaluate("contract.addFrame({src: 'contract.html'})");
  view_->evaluate(
      "contract.addFrame({srcdoc: '<script>webkit.messageHandlers.nimbra.postMessage("
      "{action: \"intruder\"})</script>'})");
  view_->evaluate("location.href = 'nimbra://app/elsewhere.html'");
  settle("settled");
  EXPECT_FALSE(hasAction("intruder"));
  EXPECT_EQ(uri(), "nimbra://app/contract.html");
  EXPECT_EQ(loads_, 1);
}

TEST_F(WebPageViewContract, MessagesStopWhileTheUriIsNotThePage) {
  view_->evaluate(
      "history.pushState({}, '', 'moved.html'); contract.post({action: 'while-moved'})");
  ASSERT_TRUE(iterateUntil([&] { return uri() == "nimbra://app/moved.html"; }));
  view_->evaluate("history.replaceState({}, '', 'contract.html')");
  settle("back");
  EXPECT_FALSE(hasAction("while-moved"));
}

TEST_F(WebPageViewContract, OutsideLinksAndNewWindowsAreRefused) {
  GListModel* toplevels = gtk_window_get_toplevels();
  guint windowsBefore = g_list_model_get_n_items(toplevels);
  view_->evaluate("document.getElementById('outside').click()");
  view_->evaluate("document.getElementById('blank').click()");
  view_->evaluate(
      "contract.post({action: 'opened', result: window.open('elsewhere.html') === null})");
  settle("settled", 500);
  EXPECT_EQ(uri(), "nimbra://app/contract.html");
  EXPECT_EQ(loads_, 1);
  EXPECT_EQ(g_list_model_get_n_items(toplevels), windowsBefore);
  EXPECT_FALSE(hasAction("intruder"));
}

TEST_F(WebPageViewContract, ReadinessTrueOnlyOnceRenderExistsAndRenderPassesOneJsonText) {
  std::vector<bool> answers;
  view_->probeReadiness([&](bool ready) { answers.push_back(ready); });
  ASSERT_TRUE(iterateUntil([&] { return answers.size() == 1; }));
  view_->evaluate("contract.defineRender()");
  view_->probeReadiness([&](bool ready) { answers.push_back(ready); });
  ASSERT_TRUE(iterateUntil([&] { return answers.size() == 2; }));
  EXPECT_EQ(answers, (std::vector<bool>{false, true}));

  json state = {{"connected", false},   {"recent", json::array()}, {"message", "设备可能未开机"},
                {"big", 1700000000123}, {"sample", nullptr},       {"settings", {{"v0", true}}}};
  view_->render(state.dump());
  ASSERT_TRUE(iterateUntil([&] { return hasAction("rendered"); }));
  for (const json& message : messages_) {
    if (message.value("action", "") == "rendered") {
      EXPECT_EQ(message["state"], state);
    }
  }
}

// Of repeated pushes, the page sees each differing state once; a new document sees the
// current one again.
TEST_F(WebPageViewContract, ThePageGetsEachDifferingStateOnce) {
  view_->evaluate("contract.defineQuietRender()");
  settle("defined", 0);
  for (int n : {1, 1, 2, 2, 2, 1, 3, 3}) view_->render(stateOfSize(n, 10));
  EXPECT_EQ(received(), json({1, 2, 1, 3}));

  view_->load();
  ASSERT_TRUE(iterateUntil([&] { return loads_ == 2; }));
  view_->evaluate("contract.defineQuietRender()");
  settle("defined again", 0);
  view_->render(stateOfSize(3, 10));
  EXPECT_EQ(received(), json({3}));
}

// A hidden window's page receives nothing; shown again, it gets the latest state at once.
TEST_F(WebPageViewContract, AHiddenWindowGetsOnlyTheLatestStateWhenShown) {
  view_->evaluate("contract.defineQuietRender()");
  settle("defined", 0);
  view_->render(stateOfSize(1, 10));
  gtk_widget_set_visible(window_, FALSE);
  ASSERT_TRUE(iterateUntil([&] { return !gtk_widget_get_mapped(view_->widget()); }));
  for (int n : {2, 3, 4}) view_->render(stateOfSize(n, 10));
  EXPECT_EQ(received(), json({1}));
  gtk_window_present(GTK_WINDOW(window_));
  ASSERT_TRUE(iterateUntil([&] { return renders_ == 2; }));
  EXPECT_EQ(received(), json({1, 4}));
}

// A push keeps nothing in the UI process once its call completed: a thousand pushes of 32 KB
// would keep 32 MB if each call's arguments were kept.
TEST_F(WebPageViewContract, AThousandPushesKeepNothingOnceDelivered) {
  constexpr size_t kStateBytes = 32 * 1024;
  constexpr int kPushes = 1000;
  view_->evaluate("contract.defineQuietRender()");
  settle("defined", 0);
  auto pushAll = [&](int from, int count) {
    for (int i = from; i < from + count; ++i) {
      view_->render(stateOfSize(i, kStateBytes));
      // In steps, so the calls in flight stay few.
      if ((i + 1) % 50 == 0) {
        ASSERT_TRUE(iterateUntil([&] { return renders_ == i + 1; }));
      }
    }
  };
  pushAll(0, 100);  // warms WebKit's own caches and queues
  const size_t before = allocatedBytes();
  pushAll(100, kPushes);
  ASSERT_EQ(renders_, 100 + kPushes);
  const size_t after = allocatedBytes();
  const double grownMB = (static_cast<double>(after) - static_cast<double>(before)) / 1e6;
  std::printf("allocated after %d pushes of %zu bytes: %+.1f MB\n", kPushes, kStateBytes, grownMB);
  EXPECT_LT(grownMB, kPushes * kStateBytes / 1e6 / 4);
  EXPECT_EQ(received().size(), 100u + kPushes);
}

}  // namespace
}  // namespace nimbra
