#include "platform/gtk/gio_notifier.h"

#include <gio/gio.h>

namespace nimbra {

void GioNotifier::send(const std::string& id, const std::string& title, const std::string& body) {
  GNotification* notification = g_notification_new(title.c_str());
  g_notification_set_body(notification, body.c_str());
  g_notification_set_default_action(notification, kShowWindowAction);
  g_application_send_notification(application_, id.c_str(), notification);
  g_object_unref(notification);
}

}  // namespace nimbra
