// Whether a file may stand in for the interface library or for the board transport, judged
// from its bytes (binary_image.h) before klia puts it anywhere; the file is never loaded, so
// nothing in it runs.
//
// An interface library exports the 26 functions of the interface: a Windows DLL at ordinals
// 1-26 under their plain names (callers import by ordinal or by name), a native shared object
// under their names (it has no ordinals). A board transport exports its two entry points:
// HwTransfer and HwTransferEx, on Windows at ordinals 1000 and 1002. A file put into a
// program's folder must be built for the machine of the program that loads it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "site/binary_image.h"

namespace klia {

// Each throws Failure ("library") naming the file and what it lacks.
BinaryImage CheckInterfaceLibrary(std::string_view bytes, const std::string &path);
BinaryImage CheckTransport(std::string_view bytes, const std::string &path);

// What the interface library of `image` lacks, in words (empty: nothing).
std::vector<std::string> MissingInterface(const BinaryImage &image);

// Throws Failure ("machine") unless `candidate` is built for the machine of `reference`
// (`reference_what` says which file that is and why it counts: "logon.exe, the program of
// this folder").
void CheckSameMachine(const BinaryImage &candidate, const std::string &candidate_path, const BinaryImage &reference,
                      const std::string &reference_what);

// The version of the transport spy when `bytes` are the spy's ("1.0.0", or "" when the spy
// does not say), nothing when they are not the spy.
std::optional<std::string> SpyVersion(std::string_view bytes);

}  // namespace klia
