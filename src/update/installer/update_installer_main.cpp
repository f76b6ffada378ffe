// UpdateInstaller: started by nimbra from its own copy in the job directory with the path
// of "job.json" as its only argument, after which nimbra quits. Exit status 0 when the new
// bundle is in place and healthy, 1 when it was rolled back, 2 when nothing was done.
#include <cstdio>

#include "update/installer/installer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: UpdateInstaller JOB.json\n", stderr);
    return 2;
  }
  using nimbra::Installer::Outcome;
  Outcome outcome = nimbra::Installer::run(argv[1], nimbra::Installer::Waits::fromEnvironment());
  return outcome == Outcome::installed ? 0 : outcome == Outcome::rolledBack ? 1 : 2;
}
