#include "common/platform.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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
  const mode_t mask = ::umask(0);
  ::umask(mask);
  (void)::chmod(name.data(), 0777 & ~mask);
  return std::string(name.data());
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
