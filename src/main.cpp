#include <cstdio>

#include "nimbra/build_config.h"

// Placeholder entry until the application shell exists: it says what it is and exits.
int main() {
  std::printf("nimbra %s (%s): the application window is not built yet.\n", NIMBRA_VERSION,
              NIMBRA_BUILD);
  return 0;
}
