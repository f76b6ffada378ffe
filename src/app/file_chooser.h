#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace nimbra {

// Asks the user where to save a file. The window's implementation is the desktop's own
// chooser (platform/gtk/native_save_chooser.h, through the portal where there is one); tests
// answer with a path of their own. Main thread only.
class FileChooser {
 public:
  struct Request {
    std::string title;          // the dialog's title, in the page's language
    std::string suggestedName;  // a file name without directory
    std::string filterName;     // e.g. "CSV"
    std::string mimeType;       // e.g. "text/csv"
  };
  // The chosen destination, or none when the user cancelled or no chooser could be shown.
  // Runs later on the main thread, exactly once per request.
  using Chosen = std::function<void(std::optional<std::filesystem::path>)>;

  virtual ~FileChooser() = default;
  // A request made while an earlier one is still open is answered with none at once.
  virtual void chooseSaveDestination(const Request& request, Chosen chosen) = 0;
};

}  // namespace nimbra
