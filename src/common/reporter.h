// How a run reports to the person at the other end. The core never prints or
// shows anything itself: every message box and progress update goes through a
// RunReporter that the front end injects (window, command line, test).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/run_outcome.h"

namespace tarnel {

inline constexpr const char* kAppName = "Tarnel";

enum class MsgIcon { None, Warning, Stop, Information };

class RunReporter {
 public:
  virtual ~RunReporter() = default;
  // One message box; returns when the person has closed it.
  virtual void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) = 0;
  // Progress bar range 0 .. maximum, and its position.
  virtual void SetProgressRange(int maximum) = 0;
  virtual void SetProgressPos(int position) = 0;
  // The short pause before a closing success message (the window waits, others need not).
  virtual void Pause(int milliseconds) = 0;
  // How far the current step has come: `done` of `total` bytes of the pass
  // under way (a long step may make more than one pass, each from 0). It
  // never moves the step count; the next position starts a new step.
  virtual void SetStepProgress(uint64_t done, uint64_t total) {
    (void)done;
    (void)total;
  }
  // What the steps from here on work at (the image being signed, the
  // package), for a front end that names it beside its bar. It never moves
  // the bar.
  virtual void SetStepName(const std::string& name) { (void)name; }

  // The run has ended (after its closing message, if any).
  virtual void RunFinished(const RunOutcome& outcome) { (void)outcome; }

  // A message box whose fixed text is followed by a detail naming the file
  // and the system's reason. By default the detail is the text's second line;
  // a front end may show it apart (the window's detail part of the box).
  virtual void ShowMessageDetail(const std::string& text, const std::string& detail, const std::string& caption,
                                 MsgIcon icon) {
    ShowMessage(detail.empty() ? text : text + "\n" + detail, caption, icon);
  }

  void Show(const std::string& text, MsgIcon icon = MsgIcon::None) { ShowMessage(text, kAppName, icon); }
  void ShowDetail(const std::string& text, const std::string& detail, MsgIcon icon = MsgIcon::None) {
    ShowMessageDetail(text, detail, kAppName, icon);
  }
};

// Keeps every call in order, for tests and for front ends that replay them.
class RecordingReporter : public RunReporter {
 public:
  enum class Kind { Message, Range, Position, Pause };
  struct Event {
    Kind kind;
    std::string text;     // message text
    std::string caption;  // message caption
    MsgIcon icon = MsgIcon::None;
    int value = 0;        // range maximum, position or pause
    std::string detail;   // the detail line of a message, when it has one
  };

  void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override;
  void ShowMessageDetail(const std::string& text, const std::string& detail, const std::string& caption,
                         MsgIcon icon) override;
  void SetProgressRange(int maximum) override;
  void SetProgressPos(int position) override;
  void Pause(int milliseconds) override;
  // Kept apart from the events, whose sequence is the run's.
  void SetStepProgress(uint64_t done, uint64_t total) override { stepProgress_.push_back({done, total}); }
  void RunFinished(const RunOutcome& outcome) override { finished_ = outcome; }

  [[nodiscard]] const std::vector<Event>& Events() const { return events_; }
  // Message texts only, in order.
  [[nodiscard]] std::vector<std::string> Messages() const;
  // Progress positions only, in order.
  [[nodiscard]] std::vector<int> Positions() const;
  // Progress within steps, (done, total) in order.
  [[nodiscard]] const std::vector<std::pair<uint64_t, uint64_t>>& StepProgress() const { return stepProgress_; }
  // The outcome of the last run that ended.
  [[nodiscard]] const std::optional<RunOutcome>& Finished() const { return finished_; }
  void Clear() {
    events_.clear();
    stepProgress_.clear();
    finished_.reset();
  }

 private:
  std::vector<Event> events_;
  std::vector<std::pair<uint64_t, uint64_t>> stepProgress_;
  std::optional<RunOutcome> finished_;
};

}  // namespace tarnel
