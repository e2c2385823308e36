// The benchmark's library removal: std::filesystem::remove_all of this toolchain, error-code form.
// Usage: PROGRAM FOLDER
#include <filesystem>
#include <system_error>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::error_code error;
  std::filesystem::remove_all(argv[1], error);
  return error ? 1 : 0;
}
