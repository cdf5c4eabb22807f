// Starts, has ADVAPI32 loaded as mkvtype.exe does, and ends: separates what loading the
// registry's DLL costs from what the tool's own work costs.
#include "platform/win32_registry.h"

int main() {
  mkvtype::platform::Win32Registry registry;
  registry.close_key(mkvtype::platform::KeyHandle::null);
  return 0;
}
