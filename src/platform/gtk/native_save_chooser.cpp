#include "platform/gtk/native_save_chooser.h"

#include <utility>

#include <gtk/gtk.h>

// GTK 4.10 deprecates the native chooser in favour of GtkFileDialog, which Debian 12's GTK
// (4.8) does not have yet.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS

namespace nimbra {

NativeSaveChooser::~NativeSaveChooser() { close(); }

void NativeSaveChooser::chooseSaveDestination(const Request& request, Chosen chosen) {
  if (dialog_ != nullptr) {
    chosen(std::nullopt);
    return;
  }
  GtkWindow* parent = nullptr;
  if (GApplication* application = g_application_get_default();
      application != nullptr && GTK_IS_APPLICATION(application)) {
    parent = gtk_application_get_active_window(GTK_APPLICATION(application));
  }
  dialog_ = gtk_file_chooser_native_new(request.title.c_str(), parent, GTK_FILE_CHOOSER_ACTION_SAVE,
                                        nullptr, nullptr);
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog_), TRUE);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog_);
  gtk_file_chooser_set_current_name(chooser, request.suggestedName.c_str());
  if (!request.mimeType.empty()) {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, request.filterName.c_str());
    gtk_file_filter_add_mime_type(filter, request.mimeType.c_str());
    gtk_file_chooser_add_filter(chooser, filter);
    g_object_unref(filter);
  }
  chosen_ = std::move(chosen);
  g_signal_connect(dialog_, "response", G_CALLBACK(onResponse), this);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog_));
}

void NativeSaveChooser::onResponse(GtkNativeDialog* dialog, int response, void* self) {
  auto* chooser = static_cast<NativeSaveChooser*>(self);
  std::optional<std::filesystem::path> file;
  if (response == GTK_RESPONSE_ACCEPT) {
    if (GFile* chosen = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog)); chosen != nullptr) {
      if (char* path = g_file_get_path(chosen); path != nullptr) {
        file = path;
        g_free(path);
      }
      g_object_unref(chosen);
    }
  }
  // The answer may start the next request, so the dialog is gone first.
  Chosen answer = std::move(chooser->chosen_);
  chooser->close();
  if (answer) answer(std::move(file));
}

void NativeSaveChooser::close() {
  if (dialog_ == nullptr) return;
  GtkFileChooserNative* dialog = std::exchange(dialog_, nullptr);
  g_signal_handlers_disconnect_by_data(dialog, this);
  gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(dialog));
  g_object_unref(dialog);
  chosen_ = nullptr;
}

}  // namespace nimbra

G_GNUC_END_IGNORE_DEPRECATIONS
