// Which interface library klia drives, and loading it.
//
// klia does not link the library: it defines the library's functions itself (the same
// declarations as mviahlp.h, the same calling convention) as thin trampolines that call
// through a table of function addresses. The table is filled when the library is loaded:
// klia's own library by default (libmviahlp.so.1 in the lib folder beside klia's bin folder,
// or the build tree's; mviahlp.dll beside klia.exe), or any library with the board library's 26 functions named by --library, a
// site's old one included. Natively the functions are taken by name; on Windows by ordinal,
// since the ordinals are the interface's contract and an old DLL need not export names.
//
// The library is loaded at the first call of one of its functions, or earlier by
// LoadInterfaceLibrary(), so that `klia --help` works where no transport is present.
//
// klia's trampolines never capture the loaded library's calls of its own functions: an
// executable's functions are not in its dynamic symbol table unless it is linked to export
// them (-rdynamic), and klia is not.
#pragma once

#include <string>

namespace klia {

// Names the library to load instead of klia's own (--library PATH). Call before the first
// library call; an empty path keeps klia's own.
void ChooseLibrary(const std::string &path);

// Loads the chosen library, once. Throws Failure (kind "library") naming the file and why it
// cannot be loaded, or which of the 26 functions it lacks. A library without the extension
// KLIAGetErrorState (ordinal 27) loads, and klia says once that its failures will name the
// operation only.
void LoadInterfaceLibrary();

// The loaded library hands out its error state (ordinal 27). Loads it first.
bool LibraryReportsErrorState();

// The file klia loads: the --library path, or the name of klia's own library.
std::string LibraryName();

}  // namespace klia
