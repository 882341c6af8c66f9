// Signing an image per 1 MiB section: the pieces shared by the UBI and the
// Ext4 sparse signers. Each full section is hashed and signed into its own
// 8192-byte signature block, placed at index x 8192 at the start of the
// signature file. Sections are hashed on a pool of worker threads (the
// signing itself is one call at a time) while the caller fills the next ones;
// a few sections are in flight at most, and the blocks are the same bytes
// whatever the number of threads.
#pragma once

#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/files.h"
#include "signing/run_services.h"
#include "common/stamps.h"
#include "common/workers.h"
#include "signing/crypto.h"
#include "signing/image_headers.h"
#include "signing/signer.h"

namespace tarnel {

// Sources below this length (bit 0 ignored) are refused with "Section size > File length/2!".
inline constexpr uint64_t kMinSectionedSource = 2097152;

// The name of the signature file beside the output image: the output image
// path without its last four characters (".img"), then "_Sign.img".
[[nodiscard]] std::string SignFilePathFor(const std::string& outputImagePath);
// Number of 1 MiB sections of `length` bytes (the last may be short).
[[nodiscard]] uint32_t SectionCountFor(uint64_t length);
// True when a source of `length` bytes is long enough to be signed in sections.
[[nodiscard]] bool SectionedSourceLongEnough(uint64_t length);

// Streams the whole source (already open, `length` bytes) into `output`,
// created at `outputPath` and left uncommitted: the caller commits it with
// the signature file. A name that cannot be created shows
// `createFailedMessage` (with the output path), a buffer that cannot be had
// `mallocMessage`. When `stepWhenStarted` is set, the run's progress advances
// once the copy is about to start.
[[nodiscard]] bool CopyImageFile(RunServices& ctx, InFile& source, uint64_t length, const std::string& sourcePath,
                                 OutFile& output, const std::string& outputPath, const char* createFailedMessage,
                                 const char* mallocMessage, bool stepWhenStarted);

// Signs the section data gathered in `tempSignPath` whole into the signature
// file beside the image and puts the image and the signature file in place
// together: both appear under their final names, or neither changes.
[[nodiscard]] bool CommitImageAndSignFile(RunServices& ctx, OutFile& image, const std::string& imagePath,
                                          const std::string& tempSignPath);

class SectionSigner {
 public:
  // Sections are signed with the run's signer (external key).
  // `imagePath` goes into every section header; `sectionCount` sections are
  // expected. The blocks go to `signFile`; when `dataFile` is given, every
  // section's bytes are written to it too, in order.
  SectionSigner(RunServices& ctx, const Stamps& stamps, std::string imagePath, uint32_t sectionCount,
                OutFile& signFile, OutFile* dataFile);
  ~SectionSigner();
  SectionSigner(const SectionSigner&) = delete;
  SectionSigner& operator=(const SectionSigner&) = delete;

  // Starts the worker threads, allocates the first section and reserves the
  // block area at the start of the signature file (which must still be empty).
  [[nodiscard]] bool Begin();
  // Free room left in the current section (never 0 before all sections are done).
  [[nodiscard]] uint8_t* Room(size_t& n);
  // `n` bytes were placed at Room(); a full section is written and signed.
  [[nodiscard]] bool Filled(size_t n);
  // Signs the short last section; false when the data did not make up
  // exactly the expected number of sections.
  [[nodiscard]] bool Finish();
  [[nodiscard]] uint64_t BytesSeen() const { return seen_; }
  [[nodiscard]] uint32_t SectionsDone() const { return done_; }
  // True once a failure was shown (a false without one: the data did not
  // make up the expected sections, for the caller to tell).
  [[nodiscard]] bool Shown() const { return shown_; }

 private:
  struct Job {
    std::vector<uint8_t> data;
    uint32_t index = 0;
    SignatureBlock block{};
    bool ok = false;
    SignError error;  // why the signer refused, shown when the section is collected
    std::future<void> done;
    bool writeOk = true;        // the bytes made it into the data file
    std::future<void> written;  // their write, when there is a data file
  };

  // The full (or last) section goes to the data file and to the pool.
  [[nodiscard]] bool SubmitCurrent();
  // Waits for the oldest section in flight and writes its block.
  [[nodiscard]] bool CollectOldest();
  void Sign(Job& job) const;
  void Show(const std::string& message);

  RunServices& ctx_;
  Signer* signer_ = nullptr;  // the run's, taken on the caller's thread
  Stamps stamps_;
  std::string imagePath_;
  std::string keyPath_;
  uint32_t count_;
  OutFile& signFile_;
  OutFile* dataFile_;
  std::unique_ptr<Job> current_;
  size_t fill_ = 0;
  uint32_t submitted_ = 0;
  uint32_t done_ = 0;
  uint64_t seen_ = 0;
  bool shown_ = false;
  size_t inFlightMax_ = 1;
  std::deque<std::unique_ptr<Job>> inFlight_;
  // Last members: destroyed first, they wait for the tasks still running.
  std::unique_ptr<TaskPool> pool_;
  std::unique_ptr<TaskPool> writer_;  // the data file's writes, in order, on a thread of their own
};

}  // namespace tarnel
