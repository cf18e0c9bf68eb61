// klia board create | board path, and klia info.
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include <CLI/CLI.hpp>

#include "board/commands.h"
#include "shell/app.h"
#include "library/board_session.h"
#include "shell/command_line.h"
#include "shell/errors.h"
#include "board/info_view.h"
#include "shell/output.h"
#include "shell/process.h"
#include "library/spy_in_front.h"
#include "shell/text_input.h"

#include "image_names.h"

namespace klia {
namespace {

struct CreateOptions {
  std::string users = "32", data_pages = "200", log_pages = "16", page_size = "256", version = "0x123", devices = "4";
  bool force = false;
};

// The geometry text the virtual board reads from HWLINK_VBOARD_GEOMETRY. Checked here so
// that a bad geometry is refused before anything is created.
std::string GeometryText(const CreateOptions &o) {
  const uint64_t users = ParseUnsigned(o.users, 1, 0xFFFF, "--users");
  const uint64_t data = ParseUnsigned(o.data_pages, 0, 0xFFFF, "--data-pages");
  const uint64_t log = ParseUnsigned(o.log_pages, 0, 0xFFFF, "--log-pages");
  // A user record takes 256 bytes of its page; the library moves at most 1025 bytes a page.
  const uint64_t page = ParseUnsigned(o.page_size, 256, 1024, "--page-size");
  const uint64_t version = ParseUnsigned(o.version, 0, 0xFFFF, "--version");
  const uint64_t devices = ParseUnsigned(o.devices, 0, 0xFF, "--devices");
  const uint64_t last_page = 8 + users + data + log - 1;
  if (last_page > 0xFFFF) {
    throw UsageError("geometry: 8 fixed pages + " + std::to_string(users) + " user pages + " + std::to_string(data) +
                     " data pages + " + std::to_string(log) + " log pages exceed the 65536 pages a board can number");
  }
  return "users=" + std::to_string(users) + ",data=" + std::to_string(data) + ",log=" + std::to_string(log) +
         ",page=" + std::to_string(page) + ",version=" + Hex16(static_cast<unsigned>(version)) +
         ",devices=" + std::to_string(devices);
}

// Replacing an image (--force) fills the new one beside it under a temporary name and renames
// it into place only when complete, so an interrupted or failed creation leaves the old image
// as it was. The name follows the virtual board's own for images under construction, so a
// leftover of a killed klia is removed by the next creation.
std::string ReplacementPath(const std::string &path) {
  return vboard::TemporaryImageName(path, vboard::ThisProcess(), 0);
}

int CreateBoard(const Context &context, const CreateOptions &options) {
  namespace fs = std::filesystem;
  const std::string geometry = GeometryText(options);
  const BoardChoice board = ChooseBoard(context);
  std::error_code error;
  const bool exists = fs::exists(fs::symlink_status(board.path, error));
  if (exists && !options.force) {
    throw UsageError("board create: " + board.path + " exists already; add --force to replace it");
  }
  if (exists && fs::is_directory(board.path, error)) {
    throw UsageError("board create: " + board.path + " is a directory; name a file for the image");
  }
  const fs::path folder = fs::path(board.path).parent_path();
  if (!folder.empty() && !fs::is_directory(folder, error)) {
    if (board.source != "default") {
      throw Failure("image", "board create: the folder " + folder.string() +
                                 " does not exist; create it first, or name another path");
    }
    fs::create_directories(folder, error);
  }
  vboard::RemoveAbandonedTemporaries(board.path);
  const std::string target = exists ? ReplacementPath(board.path) : board.path;
  fs::remove(target, error);  // a leftover of an earlier klia with this process number
  SetEnvironment(kGeometryVariable, geometry);
  {
    const InterruptGuard guard("interrupted: no board image was created" +
                                   std::string(exists ? "; " + board.path + " is as it was" : ""),
                               target == board.path ? "" : target);
    // The virtual board creates the image at the first command, which the binding sends.
    try {
      Bind({target, board.source}, Access::kWrite, /*create=*/true);
    } catch (...) {
      if (target != board.path) fs::remove(target, error);
      throw;
    }
  }
  // The new image is complete: one rename puts it in place of the old one. (Interrupted now,
  // klia leaves either image whole; a leftover temporary goes with the next creation.)
  if (target != board.path) {
    fs::rename(target, board.path, error);
    if (error) {
      const std::string reason = error.message();
      fs::remove(target, error);
      throw Failure("image", "board create: cannot replace " + board.path + ": " + reason + "; it is as it was");
    }
  }
  const Info info = DecodeInfo(ReadInfo());
  Emit("created board image " + board.path + " (" + geometry + ")\n" + InfoText(info),
       {{"image", board.path}, {"geometry", geometry}, {"info", InfoJson(info)}});
  return kExitOk;
}

int ShowPath(const Context &context) {
  const BoardChoice board = ChooseBoard(context);
  std::error_code error;
  const bool exists = std::filesystem::exists(board.path, error);
  Emit(board.path + "  (chosen by " + board.source +
           (exists ? "" : board.source == "default" ? "; made on first use" : "; does not exist") + ")\n",
       {{"image", board.path}, {"chosen_by", board.source}, {"exists", exists}});
  if (exists) WarnIfOthersMayRead(board.path);
  return kExitOk;
}

int ShowInfo(const Context &context) {
  const BoardChoice board = Open(context, Access::kRead);
  WarnIfOthersMayRead(board.path);
  const Info info = DecodeInfo(ReadInfo());
  std::string text = InfoText(info);
  nlohmann::json json = InfoJson(info);
  // A spy left in front of the transport is said wherever klia runs through it.
  if (const std::optional<SpyInFront> spy = FindSpyInFront()) {
    text += SpyInFrontText(*spy);
    json["transport_spy"] = SpyInFrontJson(*spy);
  }
  Emit(text, json);
  return kExitOk;
}

}  // namespace

void AddBoardCommands(CLI::App &app, Context &context) {
  CLI::App *board = app.add_subcommand("board", "Create or locate the virtual board's image");
  board->require_subcommand(1);

  auto create_options = std::make_shared<CreateOptions>();
  CLI::App *create = board->add_subcommand("create", "Create a fresh board image with the given geometry");
  create->add_option("--users", create_options->users, "number of user records (1-65535)")
      ->type_name(kNumberLabel)
      ->capture_default_str();
  create->add_option("--data-pages", create_options->data_pages, "pages of data area 2")
      ->type_name(kNumberLabel)
      ->capture_default_str();
  create->add_option("--log-pages", create_options->log_pages, "pages of the event log")
      ->type_name(kNumberLabel)
      ->capture_default_str();
  create->add_option("--page-size", create_options->page_size, "bytes per page (256-1024)")
      ->type_name(kNumberLabel)
      ->capture_default_str();
  create->add_option("--version", create_options->version, "board version (0x123 and later report devices)")
      ->type_name(kNumberLabel)
      ->capture_default_str();
  create->add_option("--devices", create_options->devices, "number of devices")
      ->type_name(kNumberLabel)
      ->capture_default_str();
  create->add_flag("--force", create_options->force, "replace an existing image (erases the board it holds)");
  create->callback([&context, create_options] {
    context.run = [&context, create_options] { return CreateBoard(context, *create_options); };
  });

  CLI::App *path = board->add_subcommand("path", "Show which board image klia uses (sends nothing)");
  path->callback([&context] { context.run = [&context] { return ShowPath(context); }; });

  CLI::App *info = app.add_subcommand("info", "Show the board's information record, every field decoded");
  info->callback([&context] { context.run = [&context] { return ShowInfo(context); }; });
}

}  // namespace klia
