// Messages of tarnel-cli's own (the run's messages live in their modules).
#pragma once

namespace tarnel::cli {

// The version of the layout of every JSON document tarnel-cli prints.
inline constexpr int kReportSchema = 1;

// A report path in the program folder, outside its Output folder.
inline constexpr const char* kMsgReportInProgramFolder = "The output %s would replace a file of the program folder %s!";
inline constexpr const char* kMsgReportIsFolder = "The report %s is a folder!";
inline constexpr const char* kMsgReportWriteFailed = "cannot write the report %s: %s";

}  // namespace tarnel::cli
