#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/page_view.h"
#include "platform/gtk/app_seams.h"

namespace nimbra {

// What the window holds of the page's controller: the object itself (kept alive as long as
// the window) and its two entry points. Main thread only.
struct WindowController {
  std::shared_ptr<void> owner;
  std::function<void()> pageFinishedLoading;
  std::function<void(const std::string& bodyJSON)> pageMessage;
};

// Builds the controller over the program's real seams, for the window's web view, which the
// controller holds weakly. The only place that constructs a Controller.
WindowController makeWindowController(AppSeams& seams, std::weak_ptr<PageView> page);

}  // namespace nimbra
