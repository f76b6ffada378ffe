#pragma once

#include <string>

#include "app/sharing.h"

typedef struct _GtkWidget GtkWidget;

namespace nimbra {

// Linux has no system share sheet: the share picker is a popover pointing at the requested
// spot of the web view, offering the link's actions: copy the link, copy the QR picture,
// open the link in the browser, send it by e-mail (a "mailto:" link). One popover, moved
// and shown again by each request. Its texts are in the page's language. Main thread only; `anchor`
// and `sharing` must outlive it.
class SharePopover {
 public:
  SharePopover(GtkWidget* anchor, Sharing& sharing);
  ~SharePopover();
  SharePopover(const SharePopover&) = delete;
  SharePopover& operator=(const SharePopover&) = delete;

  // Points at a 1 × 1 rectangle at (x, y) in the anchor's coordinates, below it if it fits.
  void show(double x, double y);
  GtkWidget* widget() const { return popover_; }
  // The labels follow the page's language (Chinese until told otherwise).
  void setEnglish(bool english);

  // "mailto:?subject=…&body=…" with both parts percent-encoded.
  static std::string mailtoUri(const std::string& link, bool english = false);

 private:
  struct Handlers;
  GtkWidget* anchor_;
  Sharing& sharing_;
  GtkWidget* popover_;
  GtkWidget* buttons_[4] = {};
  bool english_ = false;
};

}  // namespace nimbra
