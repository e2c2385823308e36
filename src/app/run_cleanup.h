#pragma once

// Restricts the DLL search first, then runs the clean-up steps once each, in their fixed order,
// and returns the exit code.
int RunCleanup();
