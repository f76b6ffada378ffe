// A stand-in for the desktop's notification server in the end-to-end tests: owns
// org.freedesktop.Notifications on the session bus, answers as a server would and prints one
// line per Notify call ("notify ID<TAB>SUMMARY<TAB>BODY<TAB>ACTIONS", flushed), then
// "ready" once it owns the name. A line "click ID" on its input emits ActionInvoked(ID,
// "default"), as a user's click on the notification does.
#include <cstdio>
#include <string>

#include <gio/gio.h>

namespace {

constexpr char kIntrospection[] = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
  </interface>
</node>)";

GDBusConnection* bus = nullptr;
guint32 lastId = 0;

void call(GDBusConnection*, const char*, const char*, const char*, const char* method,
          GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  const std::string name = method;
  if (name == "Notify") {
    const char *app, *icon, *summary, *body;
    guint32 replaces;
    GVariantIter* actions;
    g_variant_get(parameters, "(&su&s&s&sas@a{sv}i)", &app, &replaces, &icon, &summary, &body,
                  &actions, nullptr, nullptr);
    std::string actionList;
    for (const char* action; g_variant_iter_next(actions, "&s", &action);) {
      actionList += std::string(actionList.empty() ? "" : ",") + action;
    }
    g_variant_iter_free(actions);
    const guint32 id = replaces != 0 ? replaces : ++lastId;
    std::printf("notify %u\t%s\t%s\t%s\n", id, summary, body, actionList.c_str());
    std::fflush(stdout);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", id));
  } else if (name == "GetCapabilities") {
    const char* capabilities[] = {"actions", "body", nullptr};
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", capabilities));
  } else if (name == "GetServerInformation") {
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(ssss)", "stand-in", "nimbra", "1", "1.2"));
  } else {
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
}

gboolean input(GIOChannel* channel, GIOCondition, gpointer) {
  char* line = nullptr;
  if (g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
    return G_SOURCE_REMOVE;
  }
  guint32 id = 0;
  if (std::sscanf(line, "click %u", &id) == 1) {
    g_dbus_connection_emit_signal(bus, nullptr, "/org/freedesktop/Notifications",
                                  "org.freedesktop.Notifications", "ActionInvoked",
                                  g_variant_new("(us)", id, "default"), nullptr);
  }
  g_free(line);
  return G_SOURCE_CONTINUE;
}

void acquired(GDBusConnection*, const char*, gpointer) {
  std::printf("ready\n");
  std::fflush(stdout);
}

void lost(GDBusConnection*, const char*, gpointer loop) {
  std::fprintf(stderr, "notification stand-in: the name is taken or the bus is gone\n");
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
}

}  // namespace

int main() {
  GError* error = nullptr;
  bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) {
    std::fprintf(stderr, "notification stand-in: %s\n", error->message);
    return 1;
  }
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  const GDBusInterfaceVTable vtable = {call, nullptr, nullptr, {}};
  g_dbus_connection_register_object(bus, "/org/freedesktop/Notifications", node->interfaces[0],
                                    &vtable, nullptr, nullptr, nullptr);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_bus_own_name_on_connection(bus, "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE,
                               acquired, lost, loop, nullptr);
  GIOChannel* channel = g_io_channel_unix_new(0);
  g_io_add_watch(channel, G_IO_IN, input, nullptr);
  g_main_loop_run(loop);
  return 1;
}
