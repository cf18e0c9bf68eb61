// The interface library's functions by ordinal: 1-26 the board library's interface, which a
// library must export to stand in for it (under these plain names, at these ordinals), and 27
// this project's extension KLIAGetErrorState. Natively a shared object has no ordinals: the
// names alone are its interface.
#pragma once

#include <array>
#include <string_view>

namespace klia {

inline constexpr int kInterfaceFunctionCount = 26;
inline constexpr int kErrorStateOrdinal = 27;

// kInterfaceFunctionNames[ordinal - 1] is the name of the function of that ordinal.
inline constexpr std::array<std::string_view, kErrorStateOrdinal> kInterfaceFunctionNames = {
    "Today",
    "KLIAMakeUserXID",
    "KLIASetRTCDateTime",
    "KLIAGetRTCDateTime",
    "KLIASetWDTimeout",
    "KLIAGetWDTimeout",
    "KLIAClearLog",
    "KLIAWriteConfigData",
    "KLIAReadConfigData",
    "KLIAReadHwStep",
    "KLIAWriteHwStep",
    "KLIASetIaResult",
    "KLIAChangeUserPassword",
    "KLIAFormatDatabase",
    "KLIAFlush",
    "KLIAWriteDataEx",
    "KLIAWriteData",
    "KLIAReadDataEx",
    "KLIAReadData",
    "KLIAWriteUserData",
    "KLIAReadUserData",
    "KLIALogout",
    "KLIALogin",
    "KLIAGetCurrentUser",
    "KLIAGetInfo",
    "KLIADriverPresent",
    "KLIAGetErrorState",
};

}  // namespace klia
