// The data that the window edits and a Make run reads: the application
// members, the partition table, the flash layout table and the key lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/secure.h"

namespace tarnel {

// Board types in list order; the index is m_nBoardType.
inline constexpr std::array<std::string_view, 6> kBoardTypeNames = {
    "Qm5820RA100", "Qm5820SB300", "Qm5820RA200", "Qm5825RA100", "Qm5825SB100", "Qm5820SB400"};

// Boards 0 and 1 use the MAC containers; 2 to 5 the RSA signature blocks.
[[nodiscard]] inline bool IsFirstGeneration(int32_t boardType) { return boardType == 0 || boardType == 1; }

// File Type texts.
inline constexpr const char* kFileTypeNone = "None";
inline constexpr const char* kFileTypeFastboot = "Fastboot";
inline constexpr const char* kFileTypeNonFs = "Non-File System";
inline constexpr const char* kFileTypeYaffs = "Yaffs File System";
inline constexpr const char* kFileTypeYaffsOption = "yaffs File System";  // as the editor offers it
inline constexpr const char* kFileTypeUbi = "Ubi File System";
inline constexpr const char* kFileTypeExt4 = "Ext4 File System";
inline constexpr const char* kUpgradeYes = "Yes";
inline constexpr const char* kUpgradeNo = "No";

// The application members (one per process, owned by the front end).
// Who signs the upgrade archive for Android: natively with signapk's bytes
// (Java only when the input needs it and is there), always Java's signapk,
// or natively with the block-parallel deflate (other compressed bytes).
enum class ArchiveSigner { Native, Java, NativeParallel };

struct AppMembers {
  std::string m_strAppDir;      // program folder, ends with a separator
  std::string m_strKeysFile;    // key list file that passed its check
  std::string m_strInputDir;    // folder of the chosen table or key list, ends with a separator
  std::string m_strOutputPath;  // output folder (output names are appended as they are)
  int32_t m_nBoardType = 0;     // 0 .. 5
  int32_t m_nJavaMemory = 0;    // Java heap in megabytes
  ArchiveSigner m_archiveSigner = ArchiveSigner::Native;
  // The upgrade archive's key: empty for testkey.pk8 in the input folder, or
  // "pkcs11:<URI>" for a key in a token (native signing only).
  std::string m_archiveKey;

  [[nodiscard]] std::string TempDir() const;  // m_strAppDir + "Temp" + separator
};

// One row of the partition table.
struct PartitionRow {
  bool checked = false;
  std::string outputName;    // column 1
  std::string fileType;      // column 2
  std::string flashName;     // column 3
  std::string upgrade;       // column 4
  std::string unsignedFile;  // column 5
};

inline constexpr size_t kMaxPartitionRows = 64;

struct PartitionTable {
  std::vector<PartitionRow> rows;
  std::string filePath;  // the file last loaded or saved, empty for a table never on disk
  bool m_bModified = false;
  int m_nPrevRow = -1;
  int m_nCurRow = -1;
};

// One entry of the flash layout file.
struct tagFlashData {
  std::string strFlashName;
  std::string strFlashType;  // "Nand", "Spi" or "eMMC"
  int32_t nPageSize = 0;
  int32_t nBlockSize = 0;
  int32_t nEccType = 0;
};
using FlashTable = std::vector<tagFlashData>;

// First entry whose name equals `name` ignoring case, or nullptr.
[[nodiscard]] const tagFlashData* FindFlash(const FlashTable& table, std::string_view name);

// The 23 trimmed lines of the key list file that passed its check: views
// into the file's text, which is held in LockedPages and wiped with them.
class KeyLines {
 public:
  KeyLines() = default;
  // Takes the text and the lines found in it (views into `text`).
  KeyLines(LockedPages text, std::vector<std::string_view> lines);
  // A copy of `lines` in pages of its own.
  explicit KeyLines(const std::vector<std::string>& lines);
  KeyLines(KeyLines&&) noexcept = default;
  KeyLines& operator=(KeyLines&& other) noexcept;
  // A copy (a run's own workspace) gets pages of its own.
  KeyLines(const KeyLines& other);
  KeyLines& operator=(const KeyLines& other);

  [[nodiscard]] size_t size() const { return lines_.size(); }
  [[nodiscard]] bool empty() const { return lines_.empty(); }
  [[nodiscard]] std::string_view operator[](size_t i) const { return lines_[i]; }
  [[nodiscard]] std::string_view back() const { return lines_.back(); }
  [[nodiscard]] auto begin() const { return lines_.begin(); }
  [[nodiscard]] auto end() const { return lines_.end(); }

  // Keeps the first n lines; the text of the others is wiped.
  void Truncate(size_t n);
  // Wipes line i, which reads as empty from then on.
  void Wipe(size_t i);
  // Wipes the text; no lines are left.
  void Clear();

  friend bool operator==(const KeyLines& a, const std::vector<std::string>& b);

 private:
  template <typename Lines>
  void CopyFrom(const Lines& lines);

  LockedPages text_;
  std::vector<std::string_view> lines_;
};

// Everything a Make run reads, in one place.
struct Workspace {
  AppMembers app;
  PartitionTable table;
  FlashTable flashTable;
  KeyLines keyLines;
};

}  // namespace tarnel
