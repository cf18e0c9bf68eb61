// The names klia uses in a program's folder: the interface library and the board transport as
// programs load them, and the names klia keeps their originals under.
#pragma once

#include "spy_config.h"

namespace klia {

#ifdef _WIN32
inline constexpr const char *kInterfaceLibraryFile = "mviahlp.dll";
inline constexpr const char *kTransportFile = "HWLINK32.DLL";
#else
inline constexpr const char *kInterfaceLibraryFile = "libmviahlp.so.1";
inline constexpr const char *kTransportFile = "libhwlink32.so";
#endif

// The real transport while the spy stands in front of it: the spy's default target.
inline constexpr const char *kRealTransportFile = spy::kDefaultTargetName;
inline constexpr const char *kSpySettingsFile = spy::kConfigFileName;

// A replaced file is kept as NAME.klia-original (the real transport as kRealTransportFile).
inline constexpr const char *kOriginalSuffix = ".klia-original";

// klia's records of what it put into the folder.
inline constexpr const char *kSwapRecordFile = "klia-swap.json";
inline constexpr const char *kSpyRecordFile = "klia-spy.json";

}  // namespace klia
