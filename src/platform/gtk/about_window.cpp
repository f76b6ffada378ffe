#include "platform/gtk/about_window.h"

#include <gtk/gtk.h>

#include "storage/local_storage.h"

namespace nimbra {
namespace {

constexpr char kIconName[] = "nimbraIcon";
constexpr char kCopyright[] = "© 2026 zuvo";

}  // namespace

AboutTexts aboutTexts(const AboutFacts& facts, bool english) {
  const std::string data = (facts.dataFolder / LocalStorage::kDataDirectoryName).string();
  const std::string key = (facts.dataFolder / LocalStorage::kKeyDirectoryName).string();
  AboutTexts texts;
  texts.copyright = kCopyright;
  if (english) {
    texts.version = facts.version + " (build " + facts.build + ")";
    texts.comments =
        "Companion for the IQOS ILUMA i ONE.\n\nYour data is kept encrypted on this "
        "computer, in\n" +
        data + "\nwith its key in\n" + key;
    texts.licence = "Proprietary software. All rights reserved.";
  } else {
    texts.version = facts.version + "（构建 " + facts.build + "）";
    texts.comments =
        "IQOS ILUMA i ONE 的桌面伴侣。\n\n您的数据加密保存在本机：\n" + data + "\n密钥位于\n" + key;
    texts.licence = "专有软件，保留所有权利。";
  }
  return texts;
}

void showAboutWindow(GtkWindow* parent, const AboutFacts& facts, bool english) {
  AboutTexts texts = aboutTexts(facts, english);
  GtkWidget* about = gtk_about_dialog_new();
  GtkAboutDialog* dialog = GTK_ABOUT_DIALOG(about);
  gtk_about_dialog_set_program_name(dialog, "nimbra");
  gtk_about_dialog_set_version(dialog, texts.version.c_str());
  gtk_about_dialog_set_comments(dialog, texts.comments.c_str());
  gtk_about_dialog_set_copyright(dialog, texts.copyright.c_str());
  gtk_about_dialog_set_license_type(dialog, GTK_LICENSE_CUSTOM);
  gtk_about_dialog_set_license(dialog, texts.licence.c_str());
  gtk_about_dialog_set_logo_icon_name(dialog, kIconName);
  gtk_window_set_transient_for(GTK_WINDOW(about), parent);
  gtk_window_set_modal(GTK_WINDOW(about), TRUE);
  gtk_window_set_destroy_with_parent(GTK_WINDOW(about), TRUE);
  gtk_window_present(GTK_WINDOW(about));
}

}  // namespace nimbra
