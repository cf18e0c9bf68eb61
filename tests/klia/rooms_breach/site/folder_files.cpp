// A site file that says which system it is built for: the rooms check must refuse it.
#include "shell/output.h"
#ifdef _WIN32
int on_windows = 1;
#endif
