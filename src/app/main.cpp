#include "app/run_cleanup.h"

// The tool takes no arguments; keep the MinGW start-up code from expanding wildcards in them,
// which would read folders the tool has no business with.
extern "C" {
int _dowildcard = 0;
}

int main() { return RunCleanup(); }
