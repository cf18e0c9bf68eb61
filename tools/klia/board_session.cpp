#include "board_session.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "errors.h"
#include "mviahlp.h"

namespace klia {

void SetEnvironment(const char *name, const std::string &value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

namespace {
std::string Environment(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}
}  // namespace

std::string DefaultImagePath() {
  namespace fs = std::filesystem;
#ifdef _WIN32
  std::string base = Environment("LOCALAPPDATA");
  if (base.empty()) return "klia-board.img";
  return (fs::path(base) / "klia" / "board.img").string();
#else
  std::string base = Environment("XDG_STATE_HOME");
  if (base.empty()) {
    const std::string home = Environment("HOME");
    if (home.empty()) return "klia-board.img";
    base = (fs::path(home) / ".local" / "state").string();
  }
  return (fs::path(base) / "klia" / "board.img").string();
#endif
}

BoardChoice ChooseBoard(const Context &context) {
  if (!context.board.empty()) return {context.board, "--board"};
  const std::string from_environment = Environment(kImageVariable);
  if (!from_environment.empty()) return {from_environment, kImageVariable};
  return {DefaultImagePath(), "default"};
}

BoardChoice SelectBoard(const Context &context) {
  BoardChoice board = ChooseBoard(context);
  const std::filesystem::path folder = std::filesystem::path(board.path).parent_path();
  std::error_code ignored;
  if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
  SetEnvironment(kImageVariable, board.path);
  return board;
}

void Bind(const BoardChoice &board) {
  Require(KLIADriverPresent(), "KLIADriverPresent",
          "could not bind to the board (virtual board image " + board.path + ", chosen by " + board.source + ")");
}

BoardChoice Open(const Context &context) {
  BoardChoice board = SelectBoard(context);
  Bind(board);
  return board;
}

InfoBytes ReadInfo() {
  InfoBytes record{};
  Require(KLIAGetInfo(record.data()), "KLIAGetInfo");
  return record;
}

}  // namespace klia
