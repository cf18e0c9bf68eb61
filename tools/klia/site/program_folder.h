// The names klia uses in a program's folder: the interface library and the board transport as
// programs load them, and the names klia keeps their originals under.
#pragma once

#include "platform/platform.h"
#include "spy_config.h"

namespace klia {

// The system's names for them (mviahlp.dll and HWLINK32.DLL on Windows, platform.h).
inline constexpr const char *kInterfaceLibraryFile = kInterfaceLibraryFileName;
inline constexpr const char *kTransportFile = kTransportFileName;

// The real transport while the spy stands in front of it: the spy's default target.
inline constexpr const char *kRealTransportFile = spy::kDefaultTargetName;
inline constexpr const char *kSpySettingsFile = spy::kConfigFileName;

// A replaced file is kept as NAME.klia-original (the real transport as kRealTransportFile).
inline constexpr const char *kOriginalSuffix = ".klia-original";

// klia's records of what it put into the folder.
inline constexpr const char *kSwapRecordFile = "klia-swap.json";
inline constexpr const char *kSpyRecordFile = "klia-spy.json";

}  // namespace klia
