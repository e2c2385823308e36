#include "app/run_cleanup.h"

#include "cleanup/folders.h"
#include "cleanup/processes.h"

int RunCleanup() {
  // Processes first, so that nothing still running holds the folders or rewrites the keys.
  TerminateTargetProcesses();
  RemoveVendorFolders();
  return 0;
}
