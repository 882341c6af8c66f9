// How a Make run ended, as a value: the front ends decide what to do with it
// (exit status, report, controls) without reading the messages.
#pragma once

#include <optional>
#include <string>

#include "common/model.h"

namespace tarnel {

// The part of the run that failed.
enum class RunStep {
  Checks,        // paths, rows, names, locks, the test key pair, output clashes
  Keys,          // the key list holds fewer than three lines: the run ends without a message
  Signer,        // the run's signer could not be opened
  Row,           // a row's flash entry, its cfg.bin or its signer
  KeyPartition,
  MakePackage,
  SignApk,
  SealPackage,
  ReadBack,      // an output did not read back (make --verify)
};

struct RunOutcome {
  enum class Kind { AllSigned, PackageDone, Failed };
  Kind kind = Kind::Failed;
  RunStep step = RunStep::Checks;  // where a failed run stopped
  int row = 0;                     // the 1-based row number of a failed row, 0 otherwise
  std::string message;             // the closing message, empty when the run ended without one
  // What signed the upgrade archive: the signer asked for, or Java when the
  // native signer refused the input and Java was there. Empty when the run
  // signed no archive.
  std::optional<ArchiveSigner> archiveSigner;

  [[nodiscard]] bool Succeeded() const { return kind != Kind::Failed; }
};

}  // namespace tarnel
