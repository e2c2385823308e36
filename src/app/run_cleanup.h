#pragma once

// Runs the clean-up steps once each, in their fixed order, and returns the exit code.
int RunCleanup();
