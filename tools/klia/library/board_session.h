// Which board klia talks to, and binding the library to it.
//
// The library has no configuration; the virtual board behind the transport reads its own
// settings from the environment at its first command: HWLINK_VBOARD_IMAGE names the image
// file, HWLINK_VBOARD_GEOMETRY the geometry of a new image and HWLINK_VBOARD_READ_ONLY asks
// for the image to be served read-only. klia sets them before its first library call: the
// image from --board, else the one already in the environment, else a default path, so that
// separate klia invocations see one board.
//
// Only `board create` and the first use of the default image make an image. Any other
// command on a path where no image lies fails and names the path: a mistyped path must not
// look like a board whose users were wiped.
#pragma once

#include <string>

#include "shell/app.h"
#include "library/records.h"
#include "platform/platform.h"

namespace klia {

inline constexpr const char *kImageVariable = "HWLINK_VBOARD_IMAGE";
inline constexpr const char *kGeometryVariable = "HWLINK_VBOARD_GEOMETRY";
inline constexpr const char *kReadOnlyVariable = "HWLINK_VBOARD_READ_ONLY";
inline constexpr const char *kCreateVariable = "HWLINK_VBOARD_CREATE";

struct BoardChoice {
  std::string path;
  std::string source;  // "--board", "HWLINK_VBOARD_IMAGE" or "default"
};

// What a command does to the board. A reading command has the image served read-only, so it
// works on an image the person may only read, and cannot change it by mistake.
enum class Access { kRead, kWrite };

std::string DefaultImagePath();
// Throws UsageError for an empty --board.
BoardChoice ChooseBoard(const Context &context);

// Says on standard error when others than its owner may read the image at `path` (a new image
// is made readable by its owner only; an existing one's mode is left as it is).
void WarnIfOthersMayRead(const std::string &path);

// Why the image at `path` cannot be served, or "" when it looks like a board image.
std::string ImageProblem(const std::string &path);

// Binds the library with KLIADriverPresent to the image at board.path, which must exist unless
// `create` asks the virtual board to make it at this first command. Throws BoardFailure when
// it does not bind.
void Bind(const BoardChoice &board, Access access, bool create = false);

// Chooses the board, checks that its image exists and can be used for `access`, and binds.
// The default image is made on first use, with a notice on standard error. Throws Failure
// (kind "image") with the cure when the image is missing, unusable or read-only for a write.
BoardChoice Open(const Context &context, Access access);

// KLIAGetInfo into a fresh record. Throws BoardFailure.
InfoBytes ReadInfo();

}  // namespace klia
