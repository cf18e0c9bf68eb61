// Which board klia talks to, and binding the library to it.
//
// The library has no configuration; the virtual board behind the transport reads its own
// settings from the environment at its first command: HWLINK_VBOARD_IMAGE names the image
// file (created when missing) and HWLINK_VBOARD_GEOMETRY the geometry of a new image. klia
// sets them before its first library call: the image from --board, else the one already in
// the environment, else a default path, so that separate klia invocations see one board.
#pragma once

#include <string>

#include "app.h"
#include "records.h"

namespace klia {

inline constexpr const char *kImageVariable = "HWLINK_VBOARD_IMAGE";
inline constexpr const char *kGeometryVariable = "HWLINK_VBOARD_GEOMETRY";

struct BoardChoice {
  std::string path;
  std::string source;  // "--board", "HWLINK_VBOARD_IMAGE" or "default"
};

void SetEnvironment(const char *name, const std::string &value);
std::string DefaultImagePath();
BoardChoice ChooseBoard(const Context &context);

// Points the virtual board at the chosen image (its folder is created when missing).
BoardChoice SelectBoard(const Context &context);

// Binds the library with KLIADriverPresent. Throws BoardFailure when it does not bind.
void Bind(const BoardChoice &board);
// Selects and binds in one step.
BoardChoice Open(const Context &context);

// KLIAGetInfo into a fresh record. Throws BoardFailure.
InfoBytes ReadInfo();

}  // namespace klia
