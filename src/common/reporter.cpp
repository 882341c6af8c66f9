#include "common/reporter.h"

namespace tarnel {

void RecordingReporter::ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) {
  events_.push_back({Kind::Message, text, caption, icon, 0, {}});
}

void RecordingReporter::ShowMessageDetail(const std::string& text, const std::string& detail,
                                          const std::string& caption, MsgIcon icon) {
  events_.push_back({Kind::Message, text, caption, icon, 0, detail});
}

void RecordingReporter::SetProgressRange(int maximum) { events_.push_back({Kind::Range, {}, {}, MsgIcon::None, maximum, {}}); }

void RecordingReporter::SetProgressPos(int position) { events_.push_back({Kind::Position, {}, {}, MsgIcon::None, position, {}}); }

void RecordingReporter::Pause(int milliseconds) { events_.push_back({Kind::Pause, {}, {}, MsgIcon::None, milliseconds, {}}); }

std::vector<std::string> RecordingReporter::Messages() const {
  std::vector<std::string> out;
  for (const Event& e : events_)
    if (e.kind == Kind::Message) out.push_back(e.text);
  return out;
}

std::vector<int> RecordingReporter::Positions() const {
  std::vector<int> out;
  for (const Event& e : events_)
    if (e.kind == Kind::Position) out.push_back(e.value);
  return out;
}

}  // namespace tarnel
