#pragma once

#include "app/desktop_seams.h"

typedef struct _GApplication GApplication;

namespace nimbra {

// Notifications through GIO (GNotification, sent by the application, which the desktop shows
// under its id). Clicking one runs the application's "show-window" action. Main thread only;
// the application outlives it.
class GioNotifier final : public Notifier {
 public:
  static constexpr char kShowWindowAction[] = "app.show-window";

  explicit GioNotifier(GApplication* application) : application_(application) {}
  void send(const std::string& id, const std::string& title, const std::string& body) override;

 private:
  GApplication* application_;
};

}  // namespace nimbra
