// Flash layout and partition table files from arbitrary bytes: both readers,
// the encoding detection, and a save of whatever table loaded.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_files.h"
#include "common/reporter.h"
#include "config/flash_config.h"
#include "config/partition_config.h"
#include "config/xml_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnel;
  static fuzz::MemoryFile input("config");
  input.Set(data, size);
  const std::string& path = input.Path();
  static const std::string saved = fuzz::MemoryFolder() + "saved.xml";
  RecordingReporter reporter;

  FlashTable flash;
  (void)LoadFlashConfig(flash, reporter, path);
  const std::vector<std::string> names = FillFlashNameList(path);
  if (names.size() > flash.size()) __builtin_trap();

  for (int32_t board : {0, 2}) {
    PartitionTable table;
    const bool loaded = LoadPartitionConfig(table, board, reporter, path);
    if (table.rows.size() > kMaxPartitionRows) __builtin_trap();
    if (!loaded || table.rows.empty()) continue;
    // Whatever loaded and saved must load again, with as many rows.
    if (SavePartitionConfig(table, saved)) {
      PartitionTable again;
      if (!LoadPartitionConfig(again, 2, reporter, saved) && !LoadPartitionConfig(again, 0, reporter, saved))
        __builtin_trap();
      if (again.rows.size() != table.rows.size()) __builtin_trap();
      for (size_t i = 0; i < again.rows.size(); ++i)
        if (again.rows[i].checked != table.rows[i].checked) __builtin_trap();
    }
  }

  std::string utf8;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (config::DecodeToUtf8(bytes, utf8)) {
    std::string encoded;
    if (config::IsValidUtf8(utf8) && !config::EncodeForGb2312File(utf8, encoded)) __builtin_trap();
  }
  return 0;
}
