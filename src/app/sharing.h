#pragma once

#include <optional>
#include <string>

namespace nimbra {

// Passing the download link on: as text, as a QR picture and on the clipboard. The real one
// (AppSharing) draws with cairo and writes to the GDK clipboard through seams of its own;
// the controller only sees this interface. Main thread only.
class Sharing {
 public:
  virtual ~Sharing() = default;

  // The update server's base URL followed by "download"; built once. Empty when the build
  // has no update server (the page then shows no share card).
  virtual const std::string& link() const = 0;
  // "data:image/png;base64," + the PNG of the QR picture for the theme; none when it
  // cannot be made.
  virtual std::optional<std::string> qrDataURL(bool dark) = 0;
  // Each answers whether the clipboard took the item.
  virtual bool copyLink() = 0;
  virtual bool copyQR(bool dark) = 0;
  // Any plain text the program offers for copying (the commands that fix device access).
  virtual bool copyText(const std::string& text) = 0;
};

}  // namespace nimbra
