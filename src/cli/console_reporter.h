// Message boxes of a run as lines on standard error; on a terminal also a
// progress line, cleared before each message.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/reporter.h"

namespace tarnel::cli {

class ConsoleReporter : public RunReporter {
 public:
  // `progressLine`: draw the in-place progress line on standard error.
  explicit ConsoleReporter(bool progressLine);
  ~ConsoleReporter() override;
  ConsoleReporter(const ConsoleReporter&) = delete;
  ConsoleReporter& operator=(const ConsoleReporter&) = delete;

  void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override;
  void SetProgressRange(int maximum) override { maximum_ = maximum; }
  void SetProgressPos(int position) override;
  // Within a long step: the bar moves inside the step's share and the line
  // gives the bytes of the pass under way and its throughput, at most ten
  // times a second.
  void SetStepProgress(uint64_t done, uint64_t total) override;
  // The window's short pause before a closing message is of no use here.
  void Pause(int) override {}
  // Quiet (only errors): each message is held until the next one comes, and
  // the last one is dropped when the run ends with success.
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  void Finish(bool success);

 private:
  // The bar at the position plus `fraction` of the next step.
  void Draw(double fraction, const std::string& detail);
  void ClearProgress();
  void Print(const std::string& text);

  bool progressLine_;
  bool shown_ = false;
  bool quiet_ = false;
  std::string held_;
  int maximum_ = 0;
  int position_ = 0;
  uint64_t passDone_ = 0;
  uint64_t passTotal_ = 0;
  std::chrono::steady_clock::time_point passStart_{};
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace tarnel::cli
