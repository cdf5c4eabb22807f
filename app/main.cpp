// The process entry. The executable is built for the GUI subsystem, so no console or window
// appears; the command line is not read, and the exit status is 0 whatever the run achieved.
#include "platform/win32_registry.h"
#include "setup/setup_run.h"

int main() {
  mkvtype::platform::Win32Registry registry;
  mkvtype::setup::run_setup(registry);
  return 0;
}
