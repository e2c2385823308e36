// ntdll's calls that the platform layer's file-system code makes, with the records they take.
// ntdll is in every process; its functions are looked up at run time, once.
#pragma once

#include <windows.h>

namespace platform {

// IO_STATUS_BLOCK, for the ntdll calls.
struct IoStatusBlock {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};

struct UnicodeString {
  USHORT length;
  USHORT maximumLength;
  const wchar_t* buffer;
};

struct ObjectAttributes {
  ULONG length;
  HANDLE rootDirectory;
  UnicodeString* objectName;
  ULONG attributes;
  void* securityDescriptor;
  void* securityQualityOfService;
};

// ntdll's functions the layer calls; each is null where this system lacks it.
struct NtdllFunctions {
  LONG(NTAPI* createFile)(HANDLE*, ACCESS_MASK, ObjectAttributes*, IoStatusBlock*, LARGE_INTEGER*, ULONG, ULONG,
                          ULONG, ULONG, void*, ULONG);
  LONG(NTAPI* queryDirectoryFile)(HANDLE, HANDLE, void*, void*, IoStatusBlock*, void*, ULONG, int, BOOLEAN, void*,
                                  BOOLEAN);
  LONG(NTAPI* queryObject)(HANDLE, int, void*, ULONG, ULONG*);
  LONG(NTAPI* getLastNtStatus)();
  ULONG(NTAPI* ntStatusToDosError)(LONG);
};
// The functions, looked up on first use and kept for the run.
const NtdllFunctions& Ntdll();

}  // namespace platform
