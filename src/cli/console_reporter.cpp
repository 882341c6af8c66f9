#include "cli/console_reporter.h"

#include <algorithm>
#include <cstdio>

namespace tarnel::cli {

namespace {

constexpr int kProgressWidth = 30;

std::string Bytes(double n) {
  char text[32];
  if (n >= 1024.0 * 1024 * 1024) std::snprintf(text, sizeof text, "%.2f GiB", n / (1024.0 * 1024 * 1024));
  else std::snprintf(text, sizeof text, "%.1f MiB", n / (1024.0 * 1024));
  return text;
}

}  // namespace

ConsoleReporter::ConsoleReporter(bool progressLine) : progressLine_(progressLine) {}

ConsoleReporter::~ConsoleReporter() { Finish(false); }

void ConsoleReporter::ShowMessage(const std::string& text, const std::string&, MsgIcon) {
  ClearProgress();
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (!quiet_) {
    Print(line);
    return;
  }
  if (!held_.empty()) Print(held_);
  held_ = line;
}

void ConsoleReporter::Print(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void ConsoleReporter::Finish(bool success) {
  ClearProgress();
  if (!held_.empty() && !success) Print(held_);
  held_.clear();
}

void ConsoleReporter::SetProgressPos(int position) {
  position_ = position;
  passTotal_ = 0;
  Draw(0.0, {});
}

void ConsoleReporter::SetStepProgress(uint64_t done, uint64_t total) {
  if (!progressLine_ || maximum_ <= 0 || total == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (total != passTotal_ || done < passDone_) {  // a new pass
    passStart_ = now;
    passTotal_ = total;
  }
  passDone_ = done;
  if (done < total && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  std::string detail = "  " + Bytes(static_cast<double>(done)) + " of " + Bytes(static_cast<double>(total));
  const double seconds = std::chrono::duration<double>(now - passStart_).count();
  if (seconds >= 0.2) detail += ", " + Bytes(static_cast<double>(done) / seconds) + "/s";
  Draw(static_cast<double>(std::min(done, total)) / static_cast<double>(total), detail);
}

void ConsoleReporter::Draw(double fraction, const std::string& detail) {
  if (!progressLine_ || maximum_ <= 0) return;
  const double at = std::clamp(static_cast<double>(position_) + fraction, 0.0, static_cast<double>(maximum_));
  const int filled = static_cast<int>(at * kProgressWidth / maximum_);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kProgressWidth, '.');
  std::fprintf(stderr, "\r[%s] %d/%d%s\033[K", bar.c_str(), position_, maximum_, detail.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void ConsoleReporter::ClearProgress() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  shown_ = false;
}

}  // namespace tarnel::cli
