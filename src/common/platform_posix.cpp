#include "common/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <openssl/crypto.h>

#include "common/paths.h"
#include "common/secure.h"
#include "common/text.h"

namespace tarnel {

namespace {
// Partial outputs are named ".<final name>.tarnel-XXXXXX" beside their final name.
constexpr std::string_view kSiblingMarker = ".tarnel-";
constexpr size_t kSiblingSuffix = 6;  // the XXXXXX of mkstemp
// Room for the private components of a few RSA keys and their blinding.
constexpr size_t kSecureHeapBytes = 64 * 1024;

// umask can only be read by setting it: done once, before worker threads
// create files, and never again.
mode_t ProcessUmask() {
  static const mode_t mask = [] {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
  }();
  return mask;
}
}  // namespace

FileInfo StatPath(const std::string& path) {
  FileInfo info;
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return info;
  if (S_ISREG(st.st_mode)) info.kind = PathKind::File;
  else if (S_ISDIR(st.st_mode)) info.kind = PathKind::Folder;
  else info.kind = PathKind::Other;
  info.size = static_cast<uint64_t>(st.st_size);
  info.mtime = static_cast<int64_t>(st.st_mtime);
  info.hasMtime = true;
  info.mode = static_cast<uint32_t>(st.st_mode);
  info.ownedByUs = st.st_uid == ::geteuid();
  return info;
}

PathKind GetPathKind(const std::string& path) { return StatPath(path).kind; }
bool IsRegularFile(const std::string& path) { return GetPathKind(path) == PathKind::File; }
bool IsFolder(const std::string& path) { return GetPathKind(path) == PathKind::Folder; }

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RenameReplace(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

std::string ExecutableDir() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  return FolderPart(std::string(buf, static_cast<size_t>(n)));
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof(buf)) == nullptr) return path;
  std::string out = WithTrailingSep(buf);
  std::string rest = path;
  while (rest.rfind("./", 0) == 0) rest.erase(0, 2);
  if (rest == ".") rest.clear();
  return out + rest;
}

std::string UserDataDir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return WithTrailingSep(xdg);
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
    home = env;
  } else if (const struct passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr &&
                                                                pw->pw_dir[0] == '/') {
    home = pw->pw_dir;
  }
  if (home.empty()) return {};
  return WithTrailingSep(home) + ".local/share/";
}

std::string MakeTempFolder(const std::string& prefix) {
  std::string templ = prefix + "XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) return {};
  // mkdtemp creates 0700; a plain mkdir would give the umask's permissions.
  (void)::chmod(name.data(), 0777 & ~ProcessUmask());
  return std::string(name.data());
}


std::string LinkToSibling(const std::string& path) {
  std::string templ = FolderPart(path) + "." + AfterLastSep(path) + std::string(kSiblingMarker) + "XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return {};
  ::close(fd);
  ::unlink(name.data());
  if (::link(path.c_str(), name.data()) != 0) return {};
  return std::string(name.data());
}

bool SyncToDisk(FILE* file) { return ::fsync(fileno(file)) == 0; }

void AdviseSequentialRead(FILE* file) { (void)::posix_fadvise(fileno(file), 0, 0, POSIX_FADV_SEQUENTIAL); }

void StartDiskWrites(FILE* file) {
#ifdef __linux__
  (void)::sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
#endif
}

namespace {

// The child being waited for (the leader of its own process group), stopped
// with its group when the process is interrupted.
std::atomic<pid_t> g_child{0};
constexpr int kStopGraceSteps = 200;            // 2 s for a child to end after SIGTERM
constexpr long kStopGraceStepNs = 10'000'000;

// What a child must not inherit: the token PIN and the signer text (which
// may carry one).
constexpr std::string_view kWithheldEnv[] = {"TARNEL_PKCS11_PIN=", "TARNEL_SIGNER="};

// Our environment without the withheld variables; the pointers stay valid
// while the environment is not changed.
std::vector<char*> ChildEnvironment() {
  std::vector<char*> env;
  for (char** e = ::environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    bool withheld = false;
    for (std::string_view name : kWithheldEnv) withheld = withheld || entry.substr(0, name.size()) == name;
    if (!withheld) env.push_back(*e);
  }
  env.push_back(nullptr);
  return env;
}

// In a forked child: closes every descriptor above 2 except `keep`.
void CloseDescriptorsFrom3(int keep) noexcept {
  if (keep > 3) (void)::close_range(3, static_cast<unsigned>(keep) - 1, 0);
  if (::close_range(static_cast<unsigned>(keep < 3 ? 3 : keep + 1), ~0u, 0) != 0) {
    const long max = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = keep < 3 ? 3 : keep + 1; fd < max; ++fd) ::close(fd);
  }
}

// Waits for a child for at most `timeoutMs` (0: without a limit); on time
// out its group is killed. False on time out or a wait error.
bool WaitChild(pid_t pid, int timeoutMs, int& status, bool& timedOut) {
  timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, timeoutMs > 0 ? WNOHANG : 0);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return false;
    if (timeoutMs > 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        timedOut = true;
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return false;
      }
      ::usleep(10000);
    }
  }
}

// Partial outputs being written. Fixed slots, so that a signal handler can
// walk them without taking a lock or allocating.
constexpr size_t kLiveSlots = 64;
struct LiveSlot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 live
  char path[PATH_MAX];
};
std::array<LiveSlot, kLiveSlots> g_live;


// ".<name>.tarnel-XXXXXX"; any name when `name` is empty.
bool IsPartialSibling(std::string_view entry, std::string_view name) {
  if (entry.size() < 2 + kSiblingMarker.size() + kSiblingSuffix || entry[0] != '.') return false;
  const size_t marker = entry.size() - kSiblingSuffix - kSiblingMarker.size();
  if (entry.substr(marker, kSiblingMarker.size()) != kSiblingMarker) return false;
  const std::string_view base = entry.substr(1, marker - 1);
  return name.empty() ? !base.empty() : base == name;
}

void RemoveSiblingsMatching(const std::string& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> doomed;
  while (const dirent* e = ::readdir(dir)) {
    const std::string entry = e->d_name;
    if (IsPartialSibling(entry, name)) doomed.push_back(entry);
  }
  ::closedir(dir);
  for (const std::string& entry : doomed) {
    const std::string path = WithTrailingSep(folder) + entry;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(path.c_str());
  }
}

// Scratch folders in use, in fixed slots for the signal handler.
constexpr size_t kScratchSlots = 8;
struct ScratchSlot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 live
  char path[PATH_MAX];
};
std::array<ScratchSlot, kScratchSlots> g_scratch;

// Async-signal-safe: fixed buffers, unlink and rmdir only.
void RemoveScratchAt(const char* folder) noexcept {
  char file[PATH_MAX];
  const size_t n = std::strlen(folder);
  for (const char* name : kScratchFileNames) {
    const size_t m = std::strlen(name);
    if (n + 1 + m >= sizeof file) continue;
    std::memcpy(file, folder, n);
    file[n] = '/';
    std::memcpy(file + n + 1, name, m + 1);
    ::unlink(file);
  }
  ::rmdir(folder);
}

// Stops a child and everything it started (its own process group): asked
// with SIGTERM, given a moment, then killed; the child is waited for.
// Async-signal-safe.
void StopChildGroup(pid_t child) noexcept {
  if (child <= 0) return;
  // Just after the start the child may not lead its group yet.
  if (::kill(-child, SIGTERM) != 0) ::kill(child, SIGTERM);
  int status = 0;
  bool gone = false;
  for (int i = 0; i < kStopGraceSteps && !gone; ++i) {
    const pid_t r = ::waitpid(child, &status, WNOHANG);
    gone = r == child || (r < 0 && errno != EINTR);
    if (!gone) {
      const timespec step{0, kStopGraceStepNs};
      ::nanosleep(&step, nullptr);
    }
  }
  // Whatever of the group is left (and the child, when it ignored SIGTERM).
  if (::kill(-child, SIGKILL) != 0 && !gone) ::kill(child, SIGKILL);
  if (!gone)
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

// Holds in force, and the signal that arrived while one was.
std::atomic<int> g_holds{0};
std::atomic<int> g_heldSignal{0};

void OnInterrupt(int sig) {
  if (g_holds.load() > 0) {
    g_heldSignal.store(sig);
    return;
  }
  const int saved = errno;
  RemoveLiveTempFiles();
  for (ScratchSlot& slot : g_scratch)
    if (slot.state.load() == 2) RemoveScratchAt(slot.path);
  StopChildGroup(g_child.load());
  errno = saved;
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

int OpenLogForAppend(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags, 0600);
  if (fd < 0 && errno == ELOOP) {
    // A link sits where the log goes: drop the link, never write through it.
    ::unlink(path.c_str());
    fd = ::open(path.c_str(), kFlags | O_EXCL, 0600);
  }
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool RemovePresent(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(path.c_str()) == 0;
}

PathIdentity IdentifyPath(const std::string& path) {
  PathIdentity id;
  const std::string absolute = AbsolutePath(path);
  id.name = AfterLastSep(absolute);
  id.folder = FolderPart(absolute);
  struct stat st {};
  if (::stat(absolute.c_str(), &st) == 0) {
    id.exists = true;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
  }
  struct stat folder {};
  if (::stat(id.folder.empty() ? "/" : id.folder.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode)) {
    id.folderKnown = true;
    id.folderDevice = static_cast<uint64_t>(folder.st_dev);
    id.folderInode = static_cast<uint64_t>(folder.st_ino);
  }
  return id;
}

std::string WhyUnreadable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return {};
}

bool SameFile(const PathIdentity& a, const PathIdentity& b) {
  if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
  const bool sameFolder = a.folderKnown && b.folderKnown
                              ? a.folderDevice == b.folderDevice && a.folderInode == b.folderInode
                              : a.folder == b.folder;
  if (!sameFolder) return false;
  if (a.name == b.name) return true;
  return EqualsNoCase(a.name, b.name) && FolderFoldsCase(a.folder);
}

bool FolderFoldsCase(const std::string& folder) {
  // A probe file with a lower-case name, looked up in upper case.
  std::string templ = WithTrailingSep(folder) + ".tarnel-case-probe-XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  const std::string created(name.data());
  std::string upper = created;
  for (size_t i = WithTrailingSep(folder).size(); i < upper.size(); ++i)
    if (upper[i] >= 'a' && upper[i] <= 'z') upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
  struct stat a {}, b {};
  const bool folds = ::stat(created.c_str(), &a) == 0 && ::stat(upper.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
                     a.st_ino == b.st_ino;
  ::unlink(created.c_str());
  return folds;
}

void UnregisterLiveTempFile(const std::string& path) {
  for (LiveSlot& slot : g_live) {
    if (slot.state.load() == 2 && path == slot.path) {
      slot.state.store(0);
      return;
    }
  }
}

void RemoveLiveTempFiles() noexcept {
  for (LiveSlot& slot : g_live)
    if (slot.state.load() == 2) ::unlink(slot.path);
}

FILE* CreateTempSibling(const std::string& finalPath, bool ownerOnly, std::string& tempPath) {
  const std::string templ =
      FolderPart(finalPath) + "." + AfterLastSep(finalPath) + std::string(kSiblingMarker) + "XXXXXX";
  // The name is made inside a slot of the live files, already marked live,
  // so an interruption between its creation and its registration cannot
  // leave it behind. Without a free slot it is made unregistered.
  LiveSlot* slot = nullptr;
  if (templ.size() < PATH_MAX) {
    for (LiveSlot& candidate : g_live) {
      int expected = 0;
      if (candidate.state.compare_exchange_strong(expected, 1)) {
        slot = &candidate;
        break;
      }
    }
  }
  std::vector<char> local;
  char* name = nullptr;
  if (slot != nullptr) {
    std::memcpy(slot->path, templ.c_str(), templ.size() + 1);
    name = slot->path;
    slot->state.store(2);
  } else {
    local.assign(templ.begin(), templ.end());
    local.push_back('\0');
    name = local.data();
  }
  const int fd = ::mkostemp(name, O_CLOEXEC);
  if (fd < 0) {
    if (slot != nullptr) slot->state.store(0);
    return nullptr;
  }
  // mkstemp creates 0600; ordinary outputs get the usual permissions.
  if (!ownerOnly) (void)::fchmod(fd, 0666 & ~ProcessUmask());
  FILE* f = ::fdopen(fd, "wb");
  if (f == nullptr) {
    ::close(fd);
    ::unlink(name);
    if (slot != nullptr) slot->state.store(0);
    return nullptr;
  }
  tempPath.assign(name);
  return f;
}

SignalHold::SignalHold() { g_holds.fetch_add(1); }

SignalHold::~SignalHold() {
  if (g_holds.fetch_sub(1) == 1) {
    const int sig = g_heldSignal.exchange(0);
    if (sig != 0) OnInterrupt(sig);
  }
}

std::string MakeScratchFolder(const std::string& parent, const std::string& prefix) {
  const std::string templ = WithTrailingSep(parent) + prefix + "XXXXXX";
  if (templ.size() + 8 >= PATH_MAX) return {};
  ScratchSlot* slot = nullptr;
  for (ScratchSlot& candidate : g_scratch) {
    int expected = 0;
    if (candidate.state.compare_exchange_strong(expected, 1)) {
      slot = &candidate;
      break;
    }
  }
  if (slot == nullptr) return {};
  std::memcpy(slot->path, templ.c_str(), templ.size() + 1);
  // mkdtemp makes the folder 0700: what is unpacked there is ours alone.
  if (::mkdtemp(slot->path) == nullptr) {
    slot->state.store(0);
    return {};
  }
  slot->state.store(2);
  return std::string(slot->path);
}

void RemoveScratchFolder(const std::string& folder) {
  for (ScratchSlot& slot : g_scratch) {
    if (slot.state.load() == 2 && folder == slot.path) {
      RemoveScratchAt(slot.path);
      slot.state.store(0);
      return;
    }
  }
}

void HardenProcess() {
  const char* allow = std::getenv(kAllowCoreDumpsEnv);
  if (allow == nullptr || std::strcmp(allow, "1") != 0) {
    const rlimit none{0, 0};
    (void)::setrlimit(RLIMIT_CORE, &none);
#ifdef __linux__
    (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
  }
  // Before OpenSSL allocates anything: what it frees is wiped.
  (void)WipeOpenSslFrees();
  // Private key components are allocated there once it exists; without the
  // right to lock memory it is simply not used.
  if (CRYPTO_secure_malloc_initialized() == 0) (void)CRYPTO_secure_malloc_init(kSecureHeapBytes, 32);
  InstallInterruptCleanup();
}

void InstallInterruptCleanup() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // Past a file-size limit a write fails with EFBIG and is reported like a full disk.
  ::signal(SIGXFSZ, SIG_IGN);
}

void RemoveStaleSiblings(const std::string& finalPath) {
  RemoveSiblingsMatching(FolderPart(finalPath), AfterLastSep(finalPath));
}

void RemoveStaleSiblingsIn(const std::string& folder) { RemoveSiblingsMatching(folder, {}); }

int RunProcess(const std::vector<std::string>& argv, const std::string& workDir, const std::string& logPath,
               int timeoutMs) {
  if (argv.empty()) return -1;
  const int log = OpenLogForAppend(logPath);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env = ChildEnvironment();
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    if (log >= 0) ::close(log);
    return -1;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    if (log >= 0) ::close(log);
    return -1;
  }
  if (pid == 0) {
    // A group of its own: stopped as a whole, and out of reach of the
    // terminal's Ctrl-C, which we pass on ourselves.
    (void)::setpgid(0, 0);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::close(devnull);
    }
    CloseDescriptorsFrom3(pipeFds[1]);
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) {
      const int err = errno;
      (void)!::write(pipeFds[1], &err, sizeof(err));
      ::_exit(127);
    }
    ::execve(args[0], args.data(), env.data());
    const int err = errno;
    (void)!::write(pipeFds[1], &err, sizeof(err));
    ::_exit(127);
  }
  (void)::setpgid(pid, pid);
  g_child.store(pid);
  ::close(pipeFds[1]);
  if (log >= 0) ::close(log);
  int childErr = 0;
  ssize_t got = 0;
  while ((got = ::read(pipeFds[0], &childErr, sizeof(childErr))) < 0 && errno == EINTR) {
  }
  ::close(pipeFds[0]);
  int status = 0;
  bool timedOut = false;
  const bool waited = WaitChild(pid, timeoutMs, status, timedOut);
  g_child.store(0);
  if (!waited || got > 0) return -1;  // timed out, or exec or chdir failed in the child
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

HelperRun RunWithInput(const std::vector<std::string>& argv, const uint8_t* input, size_t inputSize,
                       size_t maxOutput, int timeoutMs, std::vector<uint8_t>& output, int& exitStatus) {
  output.clear();
  exitStatus = -1;
  if (argv.empty()) return HelperRun::StartFailed;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // Standard input is a socket so that a helper which exits without reading
  // it cannot kill us with SIGPIPE (send with MSG_NOSIGNAL).
  int in[2];
  int out[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return HelperRun::StartFailed;
  Fd inParent(in[0]), inChild(in[1]);
  if (::pipe2(out, O_CLOEXEC) != 0) return HelperRun::StartFailed;
  Fd outParent(out[0]), outChild(out[1]);

  // The helper gets standard input and output, our standard error and no
  // other descriptor, the environment without secrets, and a process group
  // of its own (stopped as a whole on time out or interruption).
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return HelperRun::StartFailed;
  ::posix_spawn_file_actions_adddup2(&actions, inChild.get(), 0);
  ::posix_spawn_file_actions_adddup2(&actions, outChild.get(), 1);
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  if (::posix_spawnattr_init(&attr) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return HelperRun::StartFailed;
  }
  (void)::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  (void)::posix_spawnattr_setpgroup(&attr, 0);
  std::vector<char*> env = ChildEnvironment();
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), env.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  if (rc != 0) return HelperRun::StartFailed;
  g_child.store(pid);
  struct ChildDone {
    ~ChildDone() { g_child.store(0); }
  } childDone;
  inChild.Close();
  outChild.Close();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto remainingMs = [&deadline] {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
  };
  size_t sent = 0;
  while (sent < inputSize) {
    const ssize_t n = ::send(inParent.get(), input + sent, inputSize - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{inParent.get(), POLLOUT, 0};
      if (::poll(&p, 1, remainingMs()) <= 0) break;
      continue;
    }
    break;  // the helper closed its input: its answer decides
  }
  inParent.Close();

  bool timedOut = false;
  uint8_t buf[4096];
  for (;;) {
    pollfd p{outParent.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, remainingMs());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timedOut = true;
      break;
    }
    const ssize_t n = ::read(outParent.get(), buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const size_t take = std::min(static_cast<size_t>(n), maxOutput + 1 - std::min(output.size(), maxOutput + 1));
    output.insert(output.end(), buf, buf + take);
  }
  outParent.Close();
  int status = 0;
  if (!timedOut) {
    // Standard output is closed; give the helper the rest of the time to exit.
    for (;;) {
      const pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid) break;
      if (r < 0 && errno != EINTR) return HelperRun::Signalled;
      if (remainingMs() == 0) {
        timedOut = true;
        break;
      }
      ::usleep(10000);
    }
  }
  if (timedOut) {
    // The whole group: a helper's own children would otherwise live on,
    // holding our standard error open.
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return HelperRun::TimedOut;
  }
  if (WIFEXITED(status)) {
    exitStatus = WEXITSTATUS(status);
    // posix_spawn reports a program that cannot be run as exit status 127.
    return HelperRun::Exited;
  }
  return HelperRun::Signalled;
}

std::optional<std::string> ReadSecretFromTerminal(const std::string& prompt) {
  Fd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (tty.get() < 0) return std::nullopt;
  termios old {};
  if (::tcgetattr(tty.get(), &old) != 0) return std::nullopt;
  termios quiet = old;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ICANON;
  (void)!::write(tty.get(), prompt.data(), prompt.size());
  if (::tcsetattr(tty.get(), TCSANOW, &quiet) != 0) return std::nullopt;
  std::string secret;
  secret.reserve(256);  // typed characters are never left behind in a freed buffer
  bool ended = false;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(tty.get(), &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
      break;
    }
    if (c == '\n' || c == '\r') break;
    secret += c;
  }
  (void)::tcsetattr(tty.get(), TCSANOW, &old);
  (void)!::write(tty.get(), "\n", 1);
  if (ended && secret.empty()) return std::nullopt;
  return secret;
}

bool WipeAndRemoveFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISREG(st.st_mode)) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
      struct stat fst {};
      // A file with other names (a hard link planted in Temp) is only unlinked:
      // overwriting it would destroy the other name's data.
      if (::fstat(fd, &fst) == 0 && S_ISREG(fst.st_mode) && fst.st_nlink == 1) {
        static const uint8_t kZeros[4096] = {};
        off_t left = fst.st_size;
        bool ok = true;
        while (left > 0 && ok) {
          const size_t n = static_cast<size_t>(std::min<off_t>(left, static_cast<off_t>(sizeof(kZeros))));
          const ssize_t w = ::write(fd, kZeros, n);
          if (w < 0 && errno == EINTR) continue;
          ok = w > 0;
          if (ok) left -= w;
        }
        (void)::fsync(fd);
      }
      ::close(fd);
    }
  }
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

FileLock::~FileLock() { Unlock(); }

FileLock::Result FileLock::TryLock(const std::string& path) {
  Unlock();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  return LockOpened(fd);
}

FileLock::Result FileLock::TryLockFolder(const std::string& folder) {
  Unlock();
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return LockOpened(fd);
}

FileLock::Result FileLock::LockOpened(int fd) {
  error_.clear();
  if (fd < 0) {
    error_ = std::strerror(errno);
    return Result::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return Result::Busy;
    error_ = std::strerror(err);
    return Result::Failed;
  }
  fd_ = fd;
  return Result::Locked;
}

void FileLock::Unlock() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace tarnel
