#pragma once

#include "app/file_chooser.h"

typedef struct _GtkFileChooserNative GtkFileChooserNative;
typedef struct _GtkNativeDialog GtkNativeDialog;

namespace nimbra {

// The desktop's own save dialog (GtkFileChooserNative): through the file chooser portal where
// the desktop has one, so it works the same inside a sandbox; GTK's dialog otherwise. Modal
// to the application's active window. One request at a time. A destination that is not a
// local path (a remote location the portal offers) answers none. Destroying the chooser
// while its dialog is open closes the dialog and drops the answer. Main thread only.
class NativeSaveChooser final : public FileChooser {
 public:
  NativeSaveChooser() = default;
  ~NativeSaveChooser() override;
  NativeSaveChooser(const NativeSaveChooser&) = delete;
  NativeSaveChooser& operator=(const NativeSaveChooser&) = delete;

  void chooseSaveDestination(const Request& request, Chosen chosen) override;

 private:
  static void onResponse(GtkNativeDialog* dialog, int response, void* self);
  void close();

  GtkFileChooserNative* dialog_ = nullptr;
  Chosen chosen_;
};

}  // namespace nimbra
