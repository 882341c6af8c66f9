// Start-up hardening, checked in a child process: after HardenProcess the
// process is not dumpable, may write no core file and has OpenSSL's secure
// heap; the developer's opt-out keeps core dumps.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "common/platform.h"

namespace tarnel {
namespace {

// Runs HardenProcess in a child with the opt-out variable set or not; the
// child's exit status: bit 0 dumpable, bit 1 core limit above 0, bit 2 no
// secure heap.
int HardenedChild(const char* optOut) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (optOut != nullptr) setenv(kAllowCoreDumpsEnv, optOut, 1);
    else unsetenv(kAllowCoreDumpsEnv);
    HardenProcess();
    rlimit core{};
    getrlimit(RLIMIT_CORE, &core);
    _exit((prctl(PR_GET_DUMPABLE) != 0 ? 1 : 0) | (core.rlim_cur != 0 || core.rlim_max != 0 ? 2 : 0) |
          (CRYPTO_secure_malloc_initialized() == 0 ? 4 : 0));
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(Process, NotDumpableWithoutCoreFilesUnlessOptedOut) {
  EXPECT_EQ(HardenedChild(nullptr), 0);
  EXPECT_EQ(HardenedChild("0"), 0);
  // The opt-out keeps the process dumpable (and its core limit as it was);
  // the secure heap is set up all the same.
  EXPECT_EQ(HardenedChild("1") & 5, 1);
}

}  // namespace
}  // namespace tarnel
