#pragma once

#include <filesystem>
#include <string>

typedef struct _GtkWindow GtkWindow;

namespace nimbra {

// What the About window says: the version and build, the licence, and where the user's data
// is kept, in the page's language.
struct AboutFacts {
  std::string version;
  std::string build;
  std::filesystem::path dataFolder;  // the application-support directory
};

// The texts of the About window, apart from the program's name.
struct AboutTexts {
  std::string version;   // "0.1.0 (build 1)"
  std::string comments;  // what nimbra is, and where its data lives
  std::string licence;
  std::string copyright;
};

AboutTexts aboutTexts(const AboutFacts& facts, bool english);

// Shows the About window over `parent` (modal, closed by its own button or Escape).
// Main thread only.
void showAboutWindow(GtkWindow* parent, const AboutFacts& facts, bool english);

}  // namespace nimbra
