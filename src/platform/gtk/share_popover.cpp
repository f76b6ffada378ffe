#include "platform/gtk/share_popover.h"

#include <iterator>

#include <gtk/gtk.h>

namespace nimbra {
namespace {

// Each text in Chinese and English, in the order of the buttons.
struct Text {
  const char* zh;
  const char* en;
  const char* in(bool english) const { return english ? en : zh; }
};
constexpr Text kLabels[] = {
    {"复制下载链接", "Copy download link"},
    {"复制二维码图片", "Copy QR picture"},
    {"在浏览器中打开", "Open in browser"},
    {"通过电子邮件发送", "Send by e-mail"},
};
constexpr Text kMailSubject{"nimbra 电子烟控制器", "nimbra device companion"};

std::string escaped(const std::string& text) {
  char* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
  std::string result = escaped;
  g_free(escaped);
  return result;
}

}  // namespace

struct SharePopover::Handlers {
  static SharePopover& self(GtkButton* button) {
    return *static_cast<SharePopover*>(g_object_get_data(G_OBJECT(button), "nimbra-share"));
  }
  static GtkWindow* windowOf(SharePopover& popover) {
    return GTK_WINDOW(gtk_widget_get_root(popover.anchor_));
  }
  static void copyLink(GtkButton* button, gpointer) {
    SharePopover& popover = self(button);
    popover.sharing_.copyLink();
    gtk_popover_popdown(GTK_POPOVER(popover.popover_));
  }
  static void copyQr(GtkButton* button, gpointer) {
    SharePopover& popover = self(button);
    popover.sharing_.copyQR(false);
    gtk_popover_popdown(GTK_POPOVER(popover.popover_));
  }
  static void openBrowser(GtkButton* button, gpointer) {
    SharePopover& popover = self(button);
    gtk_popover_popdown(GTK_POPOVER(popover.popover_));
    gtk_show_uri(windowOf(popover), popover.sharing_.link().c_str(), GDK_CURRENT_TIME);
  }
  static void sendMail(GtkButton* button, gpointer) {
    SharePopover& popover = self(button);
    gtk_popover_popdown(GTK_POPOVER(popover.popover_));
    gtk_show_uri(windowOf(popover), mailtoUri(popover.sharing_.link(), popover.english_).c_str(),
                 GDK_CURRENT_TIME);
  }
};

SharePopover::SharePopover(GtkWidget* anchor, Sharing& sharing)
    : anchor_(anchor), sharing_(sharing), popover_(gtk_popover_new()) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
  using Run = void (*)(GtkButton*, gpointer);
  const Run runs[] = {Handlers::copyLink, Handlers::copyQr, Handlers::openBrowser,
                      Handlers::sendMail};
  static_assert(std::size(runs) == std::size(kLabels));
  for (std::size_t i = 0; i < std::size(runs); ++i) {
    GtkWidget* button = gtk_button_new_with_label(kLabels[i].zh);
    buttons_[i] = button;
    gtk_button_set_has_frame(GTK_BUTTON(button), FALSE);
    gtk_widget_set_halign(gtk_button_get_child(GTK_BUTTON(button)), GTK_ALIGN_START);
    g_object_set_data(G_OBJECT(button), "nimbra-share", this);
    g_signal_connect(button, "clicked", G_CALLBACK(runs[i]), nullptr);
    gtk_box_append(GTK_BOX(box), button);
  }
  gtk_popover_set_child(GTK_POPOVER(popover_), box);
  gtk_popover_set_position(GTK_POPOVER(popover_), GTK_POS_BOTTOM);
  gtk_widget_set_parent(popover_, anchor_);
}

SharePopover::~SharePopover() { gtk_widget_unparent(popover_); }

void SharePopover::setEnglish(bool english) {
  english_ = english;
  for (std::size_t i = 0; i < std::size(kLabels); ++i) {
    gtk_button_set_label(GTK_BUTTON(buttons_[i]), kLabels[i].in(english));
    gtk_widget_set_halign(gtk_button_get_child(GTK_BUTTON(buttons_[i])), GTK_ALIGN_START);
  }
}

void SharePopover::show(double x, double y) {
  GdkRectangle spot{static_cast<int>(x), static_cast<int>(y), 1, 1};
  gtk_popover_set_pointing_to(GTK_POPOVER(popover_), &spot);
  gtk_popover_popup(GTK_POPOVER(popover_));
}

std::string SharePopover::mailtoUri(const std::string& link, bool english) {
  return "mailto:?subject=" + escaped(kMailSubject.in(english)) + "&body=" + escaped(link);
}

}  // namespace nimbra
