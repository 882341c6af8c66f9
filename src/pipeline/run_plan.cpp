#include "pipeline/run_plan.h"

#include "common/paths.h"
#include "common/text.h"
#include "package/upgrade_package.h"
#include "pipeline/key_partition.h"
#include "pipeline/make_driver.h"
#include "signing/section_signer.h"

namespace tarnel {

RowKind ParseRowKind(const std::string& fileType) {
  const std::string type = Trim(fileType);
  if (EqualsNoCase(type, kFileTypeFastboot)) return RowKind::Fastboot;
  if (EqualsNoCase(type, kFileTypeNonFs)) return RowKind::NonFs;
  if (EqualsNoCase(type, kFileTypeYaffs)) return RowKind::Yaffs;
  if (EqualsNoCase(type, kFileTypeUbi)) return RowKind::Ubi;
  if (EqualsNoCase(type, kFileTypeExt4)) return RowKind::Ext4;
  if (EqualsNoCase(type, kFileTypeNone)) return RowKind::None;
  return RowKind::Other;
}

SpareLookup NandSpareSize(int32_t pageSize, int32_t eccType) {
  static constexpr int32_t kEcc[5] = {1, 4, 8, 24, 40};
  static constexpr struct {
    int32_t page;
    uint32_t spare[5];
  } kTable[] = {
      {2048, {64, 64, 64, 128, 0}},
      {4096, {56, 128, 128, 200, 0}},
      {8192, {0, 0, 0, 368, 592}},
      {16384, {0, 0, 0, 0, 1152}},
  };
  for (const auto& row : kTable) {
    if (row.page != pageSize) continue;
    SpareLookup out{true, 0};
    for (int i = 0; i < 5; ++i)
      if (kEcc[i] == eccType) out.spare = row.spare[i];
    return out;
  }
  return {};
}

namespace {

FlashGeometry EntryGeometry(const tagFlashData& flash) {
  FlashGeometry g;
  g.flashType = flash.strFlashType;
  g.pageSize = static_cast<uint32_t>(flash.nPageSize);
  g.blockSize = static_cast<uint32_t>(flash.nBlockSize);
  return g;
}

}  // namespace

std::optional<FlashGeometry> RowGeometry(const tagFlashData& flash) {
  FlashGeometry g = EntryGeometry(flash);
  if (g.IsNand()) {
    const SpareLookup spare = NandSpareSize(flash.nPageSize, flash.nEccType);
    if (!spare.known) return std::nullopt;
    g.spareSize = spare.spare;
  } else if (EqualsNoCase(g.flashType, "Spi")) {
    g.pageSize = 1024;
  }
  return g;
}

namespace {

PlannedRow PlanRow(const Workspace& ws, bool firstGen, size_t index) {
  const AppMembers& app = ws.app;
  const PartitionRow& row = ws.table.rows[index];
  PlannedRow r;
  r.index = index;
  r.number = static_cast<int>(index) + 1;
  r.kind = ParseRowKind(row.fileType);
  r.upgrade = EqualsNoCase(row.upgrade, kUpgradeYes);
  r.source = HasSep(row.unsignedFile) ? row.unsignedFile : app.m_strInputDir + row.unsignedFile;
  r.image = app.m_strOutputPath + row.outputName + ".img";
  if (r.kind == RowKind::Ubi || (r.kind == RowKind::Ext4 && !firstGen)) r.signFile = SignFilePathFor(r.image);
  if (const tagFlashData* flash = FindFlash(ws.flashTable, row.flashName)) r.geometry = RowGeometry(*flash);
  // The count reads the File Type as it stands in the table; signing reads
  // it trimmed.
  r.countedSteps = 1 + (EqualsNoCase(row.fileType, kFileTypeExt4) ? 3 : 0);
  r.spentSteps = r.Signed() ? 1 + (r.kind == RowKind::Ext4 ? 3 : 0) : 0;
  return r;
}

void PlanPackage(const Workspace& ws, RunPlan& plan) {
  const AppMembers& app = ws.app;
  PackagePlan& package = plan.package;
  for (const PlannedRow& r : plan.rows) {
    if (!r.upgrade) continue;
    const PartitionRow& row = ws.table.rows[r.index];
    if (!package.wanted) {
      package.wanted = true;
      package.flashName = row.flashName;
    } else if (!EqualsNoCase(row.flashName, package.flashName)) {
      package.flashNamesAgree = false;
    }
    const std::string& name = row.outputName;
    if (!plan.firstGeneration && (r.kind == RowKind::Ext4 || r.kind == RowKind::Ubi))
      package.parts.push_back({r.signFile, name + "_Sign.img"});
    package.parts.push_back({r.kind == RowKind::None ? r.source : r.image, name + ".img"});
  }
  if (const tagFlashData* flash = FindFlash(ws.flashTable, package.flashName); package.wanted && flash) {
    package.flashKnown = true;
    package.geometry = PackageGeometry(*flash);
  }
  package.templatePath = app.m_strInputDir + kTemplateName;
  package.packagePath = plan.tempDir + kPackageName;
  package.signedPackagePath = plan.tempDir + kSignedPackageName;
  package.output = app.m_strOutputPath + kReleasePackageName;
}

}  // namespace

RunPlan PlanRun(const Workspace& ws) {
  const AppMembers& app = ws.app;
  RunPlan plan;
  plan.firstGeneration = IsFirstGeneration(app.m_nBoardType);
  plan.tempDir = app.TempDir();
  plan.outputFolder = FolderPart(app.m_strOutputPath);
  plan.cfgBinPath = app.m_strInputDir + kCfgBinName;
  plan.androidKeyPath = app.m_strInputDir + kAndroidKeyName;
  plan.androidCertPath = app.m_strInputDir + kAndroidCertName;

  const auto& rows = ws.table.rows;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].checked) continue;
    plan.rows.push_back(PlanRow(ws, plan.firstGeneration, i));
    const PlannedRow& r = plan.rows.back();
    ++plan.checkedRows;
    if (EqualsNoCase(rows[i].fileType, kFileTypeNone)) ++plan.noneRows;
    if (r.upgrade) ++plan.upgradeRows;
    plan.totalSteps += r.countedSteps;
    if (r.kind == RowKind::Fastboot) {
      plan.keyPartition.wanted = plan.firstGeneration;
      if (r.geometry) plan.keyPartition.boot = *r.geometry;
    }
  }
  plan.keyPartition.output = app.m_strOutputPath + kKeyPartImageName;
  PlanPackage(ws, plan);
  if (plan.package.wanted) plan.totalSteps += 3;

  for (const PlannedRow& r : plan.rows) plan.inputs.push_back(r.source);
  plan.inputs.push_back(app.m_strKeysFile);
  if (!ws.table.filePath.empty()) plan.inputs.push_back(ws.table.filePath);
  plan.inputs.push_back(plan.cfgBinPath);
  plan.inputs.push_back(plan.package.templatePath);
  plan.inputs.push_back(plan.androidKeyPath);
  plan.inputs.push_back(plan.androidCertPath);
  return plan;
}

std::vector<std::string> RunPlan::Outputs() const {
  std::vector<std::string> out;
  for (const PlannedRow& r : rows) {
    if (!r.Signed()) continue;
    out.push_back(r.image);
    if (!r.signFile.empty()) out.push_back(r.signFile);
  }
  if (keyPartition.wanted) out.push_back(keyPartition.output);
  if (package.wanted) out.push_back(package.output);
  return out;
}

}  // namespace tarnel
