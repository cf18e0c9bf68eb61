// hold_file open|load FILE PROGRAM [ARGUMENTS...]: runs PROGRAM while FILE is held the way a
// running program holds a DLL it loaded: `open` keeps it open without sharing deletion or
// writing, `load` maps it as a library image (without running its code). Exits with PROGRAM's
// exit code; 125 when FILE cannot be held, 126 when PROGRAM cannot be run.
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: hold_file open|load FILE PROGRAM [ARGUMENTS...]\n");
    return 125;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  HMODULE module = nullptr;
  if (std::strcmp(argv[1], "load") == 0) {
    module = LoadLibraryExA(argv[2], nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (module == nullptr) return 125;
  } else {
    file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 125;
  }
  const intptr_t status = _spawnv(_P_WAIT, argv[3], argv + 3);
  if (module != nullptr) FreeLibrary(module);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return status < 0 ? 126 : static_cast<int>(status);
}
