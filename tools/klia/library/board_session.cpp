#include "library/board_session.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "library/board_failure.h"
#include "shell/errors.h"
#include "image_names.h"
#include "library/library_loader.h"
#include "mviahlp.h"
#include "platform/platform.h"
#include "shell/output.h"
#include "library/spy_in_front.h"

namespace klia {

namespace {

namespace fs = std::filesystem;

std::string Chosen(const BoardChoice &board) { return board.path + " (chosen by " + board.source + ")"; }

std::string ReplaceCure(const BoardChoice &board) {
  return "'klia " + std::string(board.source == "--board" ? "--board " + board.path + " " : "") +
         "board create --force' replaces it with a fresh board (everything in it is lost)";
}

// What cures an image ImageProblem found: only a file that is not a board image is cured by
// making a new board in its place.
std::string ImageCure(const std::string &problem, const BoardChoice &board) {
  if (problem.rfind("it is not a board image", 0) == 0) return ReplaceCure(board);
  if (problem.rfind("it cannot be read", 0) == 0) return "check its permissions, or name another image";
  return "name a board image file" +
         std::string(board.source == "--board" ? " with --board" : " (klia board path shows how klia chose it)");
}

}  // namespace

std::string DefaultImagePath() {
  const std::string base = UserStateFolder();
  if (base.empty()) return "klia-board.img";
  return (fs::path(base) / "klia" / "board.img").string();
}

BoardChoice ChooseBoard(const Context &context) {
  if (context.board_given) {
    if (context.board.empty()) throw UsageError("--board: the path is empty; name the board image file");
    return {context.board, "--board"};
  }
  const std::string from_environment = Environment(kImageVariable);
  if (!from_environment.empty()) return {from_environment, kImageVariable};
  return {DefaultImagePath(), "default"};
}

void WarnIfOthersMayRead(const std::string &path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::perms perms = fs::status(path, error).permissions();
  if (error || !fs::is_regular_file(path, error)) return;
  if (!ModeLetsOthersRead(perms)) return;
  Notice("warning: the board image " + path +
         " may be read by other users, and it holds users' logon keys and passwords; make it readable by you "
         "only: chmod 600 " + path);
}

std::string ImageProblem(const std::string &path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (fs::is_directory(status)) return "it is a directory, not a board image";
  if (!fs::is_regular_file(status)) return "it is not a regular file";
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::string("it cannot be read: ") + std::strerror(errno);
  char magic[sizeof vboard::kImageMagic] = {};
  file.read(magic, sizeof magic);
  if (file.gcount() != sizeof magic || std::memcmp(magic, vboard::kImageMagic, sizeof magic) != 0) {
    return "it is not a board image (damaged, or another kind of file)";
  }
  return "";
}

void Bind(const BoardChoice &board, Access access, bool create) {
  // The board is named before anything is loaded: a library or transport that reaches the board
  // while it loads must find the image klia chose, served as klia asks.
  SetEnvironment(kImageVariable, board.path);
  SetEnvironment(kReadOnlyVariable, access == Access::kRead ? "1" : "0");
  SetEnvironment(kCreateVariable, create ? "1" : "0");
  // The library is loaded before the first call: when it cannot be, klia says why instead of
  // ending without a word.
  LoadInterfaceLibrary();
  if (Succeeded(KLIADriverPresent())) return;
  const ErrorState state = ReadErrorState();
  // No exchange at all: the transport has said why on standard error. The image passed klia's
  // own look before (Open), so nothing here says it is damaged: the cause is the transport's
  // (a spy that cannot load what it forwards to, an image it may not open) and erasing the
  // board would not cure it.
  if (state.last_error == KLIA_STATUS_TRANSPORT_FAILED) {
    std::error_code error;
    if (!create && !fs::exists(board.path, error)) {
      // The virtual board has said that it has no image to open: the cure is to make one.
      throw Failure("image", "cannot bind to the board image " + Chosen(board) +
                                 ": no image lies at that path, and this command never makes one; make the board "
                                 "first with 'klia " +
                                 (board.source == "--board" ? "--board " + board.path + " " : std::string()) +
                                 "board create'");
    }
    std::string text = "cannot bind to the board image " + Chosen(board) + ": the transport made no exchange; ";
    if (const std::optional<SpyInFront> spy = FindSpyInFront()) {
      text += "the transport spy " + spy->file + " stands in front of it: ";
    }
    throw Failure("image", text + TransportMessageSaysWhy());
  }
  throw BoardFailure("KLIADriverPresent", state, "could not bind to the board (virtual board image " + Chosen(board) + ")");
}

BoardChoice Open(const Context &context, Access access) {
  const BoardChoice board = ChooseBoard(context);
  std::error_code error;
  const bool exists = fs::exists(fs::symlink_status(board.path, error)) || fs::exists(board.path, error);
  bool created = false;
  if (!exists) {
    if (board.source != "default") {
      throw Failure("image", "no board image at " + Chosen(board) +
                                 "; check the path, or make a new board with 'klia board create'");
    }
    // The default image is made on first use, in its own folder.
    const fs::path folder = fs::path(board.path).parent_path();
    if (!folder.empty()) fs::create_directories(folder, error);
    created = true;
  } else {
    const std::string problem = ImageProblem(board.path);
    if (!problem.empty()) {
      throw Failure("image", "cannot use " + Chosen(board) + ": " + problem + "; " + ImageCure(problem, board));
    }
    if (access == Access::kWrite && !MayWrite(board.path)) {
      throw Failure("image", "cannot change the board: its image " + Chosen(board) + " is read-only for you (" +
                                 std::strerror(errno) +
                                 "); commands that only read it still work, or use a copy you may write");
    }
  }
  Bind(board, created ? Access::kWrite : access, created);
  if (created) Notice("made a new board image with the default geometry at " + board.path);
  return board;
}

InfoBytes ReadInfo() {
  InfoBytes record{};
  Require(KLIAGetInfo(record.data()), "KLIAGetInfo");
  return record;
}

}  // namespace klia
