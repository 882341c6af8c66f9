#include "common/platform.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <termios.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/paths.h"

namespace tarnel {

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

FILE* CreateTempSibling(const std::string& finalPath, bool ownerOnly, std::string& tempPath) {
  std::string templ = FolderPart(finalPath) + "." + AfterLastSep(finalPath) + ".tarnel-XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return nullptr;
  // mkstemp creates 0600; ordinary outputs get the usual permissions.
  if (!ownerOnly) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    (void)::fchmod(fd, 0666 & ~mask);
  }
  FILE* f = ::fdopen(fd, "wb");
  if (f == nullptr) {
    ::close(fd);
    ::unlink(name.data());
    return nullptr;
  }
  tempPath.assign(name.data());
  return f;
}

bool SyncToDisk(FILE* file) { return ::fsync(fileno(file)) == 0; }

bool MakeOwnerOnly(const std::string& path) { return ::chmod(path.c_str(), 0600) == 0; }

int RunProcess(const std::vector<std::string>& argv, const std::string& workDir, const std::string& logPath) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return -1;
  }
  if (pid == 0) {
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
      ::close(log);
    }
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::close(devnull);
    }
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) {
      const int err = errno;
      (void)!::write(pipeFds[1], &err, sizeof(err));
      ::_exit(127);
    }
    ::execv(args[0], args.data());
    const int err = errno;
    (void)!::write(pipeFds[1], &err, sizeof(err));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  int childErr = 0;
  const ssize_t got = ::read(pipeFds[0], &childErr, sizeof(childErr));
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (got > 0) return -1;  // exec or chdir failed in the child
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

  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return HelperRun::StartFailed;
  ::posix_spawn_file_actions_adddup2(&actions, inChild.get(), 0);
  ::posix_spawn_file_actions_adddup2(&actions, outChild.get(), 1);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), ::environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return HelperRun::StartFailed;
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
    ::kill(pid, SIGKILL);
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
  if (::tcsetattr(tty.get(), TCSAFLUSH, &quiet) != 0) return std::nullopt;
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
  (void)::tcsetattr(tty.get(), TCSAFLUSH, &old);
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

bool FileLock::TryLock(const std::string& path) {
  Unlock();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void FileLock::Unlock() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace tarnel
