// klia board create | board path, and klia info.
#include <filesystem>
#include <memory>
#include <system_error>

#include <CLI/CLI.hpp>

#include "app.h"
#include "board_session.h"
#include "errors.h"
#include "info_view.h"
#include "output.h"
#include "text_input.h"

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
         ",page=" + std::to_string(page) + ",version=" + std::to_string(version) +
         ",devices=" + std::to_string(devices);
}

int CreateBoard(const Context &context, const CreateOptions &options) {
  const std::string geometry = GeometryText(options);
  const BoardChoice board = ChooseBoard(context);
  std::error_code error;
  if (std::filesystem::exists(board.path, error)) {
    if (!options.force) {
      throw UsageError("board create: " + board.path + " exists already; add --force to replace it");
    }
    if (!std::filesystem::remove(board.path, error)) {
      throw UsageError("board create: cannot remove " + board.path + ": " + error.message());
    }
  }
  SetEnvironment(kGeometryVariable, geometry);
  // The virtual board creates the image at the first command, which the binding sends.
  Bind(SelectBoard(context));
  const Info info = DecodeInfo(ReadInfo());
  if (context.json) {
    PrintJson({{"image", board.path}, {"geometry", geometry}, {"info", InfoJson(info)}});
  } else {
    PrintText("created board image " + board.path + " (" + geometry + ")\n" + InfoText(info));
  }
  return kExitOk;
}

int ShowPath(const Context &context) {
  const BoardChoice board = ChooseBoard(context);
  std::error_code error;
  const bool exists = std::filesystem::exists(board.path, error);
  if (context.json) {
    PrintJson({{"image", board.path}, {"chosen_by", board.source}, {"exists", exists}});
  } else {
    PrintText(board.path + "  (chosen by " + board.source + (exists ? "" : "; not created yet") + ")\n");
  }
  return kExitOk;
}

int ShowInfo(const Context &context) {
  Open(context);
  const Info info = DecodeInfo(ReadInfo());
  if (context.json) {
    PrintJson(InfoJson(info));
  } else {
    PrintText(InfoText(info));
  }
  return kExitOk;
}

}  // namespace

void AddBoardCommands(CLI::App &app, Context &context) {
  CLI::App *board = app.add_subcommand("board", "Create or locate the virtual board's image");
  board->require_subcommand(1);

  auto create_options = std::make_shared<CreateOptions>();
  CLI::App *create = board->add_subcommand("create", "Create a fresh board image with the given geometry");
  create->add_option("--users", create_options->users, "number of user records (1-65535)")->capture_default_str();
  create->add_option("--data-pages", create_options->data_pages, "pages of data area 2")->capture_default_str();
  create->add_option("--log-pages", create_options->log_pages, "pages of the event log")->capture_default_str();
  create->add_option("--page-size", create_options->page_size, "bytes per page (256-1024)")->capture_default_str();
  create->add_option("--version", create_options->version, "board version (0x123 and later report devices)")
      ->capture_default_str();
  create->add_option("--devices", create_options->devices, "number of devices")->capture_default_str();
  create->add_flag("--force", create_options->force, "replace an existing image");
  create->callback([&context, create_options] {
    context.run = [&context, create_options] { return CreateBoard(context, *create_options); };
  });

  CLI::App *path = board->add_subcommand("path", "Show which board image klia uses (sends nothing)");
  path->callback([&context] { context.run = [&context] { return ShowPath(context); }; });

  CLI::App *info = app.add_subcommand("info", "Show the board's information record, every field decoded");
  info->callback([&context] { context.run = [&context] { return ShowInfo(context); }; });
}

}  // namespace klia
