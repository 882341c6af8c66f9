// The few operating-system services the core needs. Everything that is not
// plain C++ or C stdio lives behind this header (one implementation per platform).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tarnel {

enum class PathKind { Missing, File, Folder, Other };

struct FileInfo {
  PathKind kind = PathKind::Missing;
  uint64_t size = 0;
  int64_t mtime = 0;        // seconds since the epoch, 0 when unknown
  bool hasMtime = false;
  uint32_t mode = 0;        // permission bits as the platform reports them
  bool ownedByUs = false;   // owned by the user the process runs as
};

[[nodiscard]] FileInfo StatPath(const std::string& path);
[[nodiscard]] PathKind GetPathKind(const std::string& path);
[[nodiscard]] bool IsRegularFile(const std::string& path);
// Why `path` cannot be read as a file, in the system's words ("No such file
// or directory", "Permission denied", "Is a directory"); empty when it can.
[[nodiscard]] std::string WhyUnreadable(const std::string& path);
[[nodiscard]] bool IsFolder(const std::string& path);
// Creates one folder; false when it could not be made (also when it exists).
bool MakeFolder(const std::string& path);
bool RemoveFile(const std::string& path);
[[nodiscard]] bool RenameReplace(const std::string& from, const std::string& to);
// Folder of the running executable, ending with a separator.
[[nodiscard]] std::string ExecutableDir();
// Absolute form of a path given on a command line.
[[nodiscard]] std::string AbsolutePath(const std::string& path);
// The per-user data folder, ending with a separator: $XDG_DATA_HOME when it is
// an absolute path, else ~/.local/share/; empty when there is no home folder.
[[nodiscard]] std::string UserDataDir();
// Creates a new folder named `prefix` + a unique suffix, with the usual
// permissions; returns its path (no trailing separator), empty on failure.
[[nodiscard]] std::string MakeTempFolder(const std::string& prefix);

// Creates a new file next to `finalPath` for writing ("wb") and returns it with
// its name, counted among the live temporary files from the moment it exists
// (see RemoveLiveTempFiles). Owner-only permissions when `ownerOnly`.
[[nodiscard]] FILE* CreateTempSibling(const std::string& finalPath, bool ownerOnly, std::string& tempPath);
// A second name for an existing file (a hard link beside it, named like a
// partial sibling); empty when the file system cannot make one.
[[nodiscard]] std::string LinkToSibling(const std::string& path);
// Pushes a file's written bytes to the disk (before it is renamed into place).
[[nodiscard]] bool SyncToDisk(FILE* file);
// Hints that a file open for reading will be read once, front to back.
void AdviseSequentialRead(FILE* file);
// Starts writing a file's written bytes to the disk without waiting.
void StartDiskWrites(FILE* file);

// Children (RunProcess, RunWithInput) inherit no descriptor above 2 and an
// environment without the PIN and the signer text; each runs in a process
// group of its own, which is stopped as a whole on time out and when we are
// interrupted.
//
// Starts a program with an argument vector (no shell), in `workDir`, with its
// standard output and error appended to `logPath`, and waits for it, at most
// `timeoutMs` when that is positive. Returns the exit status, or -1 when it
// could not be started or was stopped for taking too long.
[[nodiscard]] int RunProcess(const std::vector<std::string>& argv, const std::string& workDir,
                             const std::string& logPath, int timeoutMs = 0);

// Runs a program with an argument vector (no shell), `input` on its standard
// input and its standard error inherited; collects at most `maxOutput` bytes
// of its standard output. A program still running after `timeoutMs` is killed.
enum class HelperRun { Exited, StartFailed, TimedOut, Signalled };
[[nodiscard]] HelperRun RunWithInput(const std::vector<std::string>& argv, const uint8_t* input, size_t inputSize,
                                     size_t maxOutput, int timeoutMs, std::vector<uint8_t>& output, int& exitStatus);

// Asks for a secret on the controlling terminal without echo (the prompt on
// the terminal too). nullopt when there is no terminal or input ended.
[[nodiscard]] std::optional<std::string> ReadSecretFromTerminal(const std::string& prompt);

// Overwrites a regular file with zeros, pushes that to the disk and removes
// it; a link is removed without being followed. True when nothing is left
// under the name.
bool WipeAndRemoveFile(const std::string& path);

// Opens `path` for appending, owner-only when it is new. A link planted
// under that name is removed first, never followed. Returns the descriptor
// (close-on-exec), or -1.
[[nodiscard]] int OpenLogForAppend(const std::string& path);
// Removes whatever is at `path`, a dangling link too (a folder stays).
bool RemovePresent(const std::string& path);

// Who a path is: the file itself once it exists (device and inode), and its
// place (the folder's identity and the name in it) whether it exists or not.
struct PathIdentity {
  bool exists = false;
  uint64_t device = 0, inode = 0;
  bool folderKnown = false;
  uint64_t folderDevice = 0, folderInode = 0;
  std::string folder;  // absolute, when the folder does not exist
  std::string name;
};
[[nodiscard]] PathIdentity IdentifyPath(const std::string& path);
// True when names in `folder` that differ only in ASCII case name one file.
[[nodiscard]] bool FolderFoldsCase(const std::string& folder);
// True when two identified paths are one file: the same device and inode once
// both exist, else the same folder and name (case folded where the folder
// folds case).
[[nodiscard]] bool SameFile(const PathIdentity& a, const PathIdentity& b);

// An exclusive advisory lock on a file or folder, held until destruction; a
// lock left by a killed process is released by the system.
class FileLock {
 public:
  enum class Result { Locked, Busy, Failed };
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Locks a lock file, created owner-only when missing; a link is not followed.
  [[nodiscard]] Result TryLock(const std::string& path);
  // Locks a folder itself, adding nothing to it.
  [[nodiscard]] Result TryLockFolder(const std::string& folder);
  // Why the last TryLock failed, for messages.
  [[nodiscard]] const std::string& Error() const { return error_; }
  void Unlock();

 private:
  [[nodiscard]] Result LockOpened(int fd);
  int fd_ = -1;
  std::string error_;
};

// Temporary output files that exist right now. A front end that is
// interrupted calls RemoveLiveTempFiles() (safe inside a signal handler) so
// that no partial sibling is left behind; it also stops a child process
// being waited for.
void UnregisterLiveTempFile(const std::string& path);
void RemoveLiveTempFiles() noexcept;
// Private scratch folders (0700) that hold files named kScratchFileNames
// only. An interrupted process removes those files and the folder itself.
inline constexpr const char* kScratchFileNames[] = {"0", "1"};
// Makes a new private folder under `parent` named `prefix` + a unique suffix
// and registers it; empty when it could not be made.
[[nodiscard]] std::string MakeScratchFolder(const std::string& parent, const std::string& prefix);
// Removes the scratch files and the folder, and forgets it.
void RemoveScratchFolder(const std::string& folder);
// Hardening every front end does first, before any key is read: the process
// is not dumpable (no core file, no ptrace attach by other processes of the
// user) unless kAllowCoreDumpsEnv is set to 1 for debugging; OpenSSL's big
// numbers live on its locked secure heap, and what it frees elsewhere is
// wiped; SIGINT and SIGTERM clean up (see InstallInterruptCleanup).
inline constexpr const char* kAllowCoreDumpsEnv = "TARNEL_ALLOW_CORE_DUMPS";
void HardenProcess();
// Installs handlers for SIGINT and SIGTERM that remove the live temporary
// files, stop the child and end the process by the same signal, and makes a
// file-size limit an ordinary write error instead of a silent kill.
void InstallInterruptCleanup();
// Holds SIGINT and SIGTERM while a group of renames that belong together (a
// pair X.img / X_Sign.img) is made: a signal that arrives meanwhile, on any
// thread, is acted on when the last hold ends. Only with the handlers of
// InstallInterruptCleanup in place.
class SignalHold {
 public:
  SignalHold();
  ~SignalHold();
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;
};
// Removes the partial siblings (".<name>.tarnel-XXXXXX") that a killed run
// left next to `finalPath`.
void RemoveStaleSiblings(const std::string& finalPath);
// Removes every partial sibling left in `folder` by a killed run.
void RemoveStaleSiblingsIn(const std::string& folder);

}  // namespace tarnel
