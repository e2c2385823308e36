#include "app/run_cleanup.h"

#include "cleanup/folders.h"
#include "cleanup/processes.h"
#include "cleanup/registry.h"
#include "platform/platform.h"

int RunCleanup() {
  platform::RestrictDllSearch();
  // Processes first, so that nothing still running holds the folders or rewrites the keys.
  TerminateTargetProcesses();
  RemoveVendorFolders();
  DeleteRegistryEntries();
  return 0;
}
