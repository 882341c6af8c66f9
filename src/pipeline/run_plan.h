// What a Make run will do, worked out once before anything is written: each
// checked row's kind, source, outputs, flash geometry and progress steps,
// the key partition, the upgrade package and the step count. Computing it
// touches no file; the checks, the locks, the read-back and the report are
// all read off it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/model.h"
#include "signing/flash_geometry.h"

namespace tarnel {

// A row's File Type, read once (white space at both ends ignored, case
// ignored). None and any text the run does not sign are skipped rows.
enum class RowKind { Fastboot, NonFs, Yaffs, Ubi, Ext4, None, Other };
[[nodiscard]] RowKind ParseRowKind(const std::string& fileType);

// Spare bytes per page of a NAND flash by page size and ECC type; not known
// when the page size is not one of 2048, 4096, 8192, 16384 (an ECC type
// outside the table gives 0).
struct SpareLookup {
  bool known = false;
  uint32_t spare = 0;
};
[[nodiscard]] SpareLookup NandSpareSize(int32_t pageSize, int32_t eccType);

// The geometry a row is signed with: the entry's page and block size, the
// NAND spare table, a page of 1024 on SPI. Empty when the NAND page size is
// not in the table.
[[nodiscard]] std::optional<FlashGeometry> RowGeometry(const tagFlashData& flash);

struct PlannedRow {
  size_t index = 0;  // table position
  int number = 0;    // 1-based row number of the messages
  RowKind kind = RowKind::Other;
  bool upgrade = false;     // marked "Yes"
  std::string source;       // the unsigned file as the run reads it
  std::string image;        // output path + Output Name + ".img"
  std::string signFile;     // the "_Sign.img" beside it, empty when the row writes none
  // Empty when the flash entry is missing or its NAND page size unknown: the
  // row fails with the flash config message when its turn comes.
  std::optional<FlashGeometry> geometry;
  int countedSteps = 0;  // what the step count gives the row
  int spentSteps = 0;    // what signing the row advances the bar by

  [[nodiscard]] bool Signed() const { return kind != RowKind::None && kind != RowKind::Other; }
};

struct KeyPartitionPlan {
  bool wanted = false;  // a Fastboot row on a first-generation board
  FlashGeometry boot;   // the geometry of the last Fastboot row
  std::string output;
};

// One file of the upgrade archive: where it is read and its name inside.
struct PackagePart {
  std::string diskPath;
  std::string name;
};

struct PackagePlan {
  bool wanted = false;            // a checked row is marked "Yes"
  std::string flashName;          // the first upgrade row's Flash Name
  bool flashNamesAgree = true;    // every upgrade row names the same flash (case ignored)
  bool flashKnown = false;        // that flash is in the flash table
  std::optional<FlashGeometry> geometry;  // empty: the sealing fails with its message
  std::vector<PackagePart> parts;
  std::string templatePath;       // input folder + "META-INF.zip"
  std::string packagePath;        // Temp/UpgradePackage.zip
  std::string signedPackagePath;  // Temp/UpgradePackage_AndroidSigned.bin
  std::string output;             // output path + "update.zip"
};

class RunPlan {
 public:
  bool firstGeneration = false;
  std::vector<PlannedRow> rows;  // the checked rows, in table order
  KeyPartitionPlan keyPartition;
  PackagePlan package;
  int totalSteps = 0;  // the bar's range (the key partition's step is not in it)
  // Checked rows, those whose File Type reads "None" and those marked "Yes".
  int checkedRows = 0;
  int noneRows = 0;
  int upgradeRows = 0;
  std::string tempDir;       // locked for the run
  std::string outputFolder;  // locked for the run when it exists
  std::string cfgBinPath;
  std::string androidKeyPath;
  std::string androidCertPath;

  // Every file the run writes under the output path, in the order it writes
  // them: each signed row's image (and its signature file where the row has
  // one), the key partition, the release package.
  [[nodiscard]] std::vector<std::string> Outputs() const;
  // Every file the run reads from the user: the checked rows' unsigned
  // files, the key list, the partition table, the input folder's fixed files.
  std::vector<std::string> inputs;
};

// The plan of a run over `ws` as it stands (the input folder already settled
// by the row checks). Reads nothing from disk.
[[nodiscard]] RunPlan PlanRun(const Workspace& ws);

}  // namespace tarnel
