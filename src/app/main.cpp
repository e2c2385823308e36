#include "app/run_cleanup.h"
#include "platform/platform.h"

// The tool takes no arguments; keep the MinGW start-up code from expanding wildcards in them,
// which would read folders the tool has no business with.
extern "C" {
int _dowildcard = 0;
}

int main() {
  platform::RestrictDllSearch();
  return RunCleanup();
}
