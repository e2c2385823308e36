#include "app/run_cleanup.h"

#include "cleanup/processes.h"

int RunCleanup() {
  // Processes first, so that nothing still running holds the folders or rewrites the keys.
  TerminateTargetProcesses();
  return 0;
}
