// Process detach on POSIX systems: the library's destructor does what DLL_PROCESS_DETACH does
// on Windows. A page still held modified in the driver's cache is written to the board when
// the library is unloaded or the process exits; an unbound library only records BindError.
#include "mviahlp.h"

#if !defined(_WIN32)
__attribute__((destructor)) static void ProcessDetach() { KLIAFlush(); }
#endif
