// A library that ends its process while it is being loaded, as MVIAHLP_TEST_END says: "exit"
// (status 3), "abort" or "crash" (SIGSEGV).
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

struct EndsAtLoad {
  EndsAtLoad() {
    const char *how = std::getenv("MVIAHLP_TEST_END");
    if (how == nullptr) return;
    if (std::strcmp(how, "exit") == 0) _exit(3);
    if (std::strcmp(how, "abort") == 0) std::abort();
    if (std::strcmp(how, "crash") == 0) std::raise(SIGSEGV);
  }
} ends_at_load;

}  // namespace
