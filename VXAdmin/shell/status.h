// How console operations report to the administrator: status lines (the
// status list of the main window) and message boxes. Worker threads call
// these synchronously, as the console's window messages are sent: a call
// returns once the line is shown. The window program implements both with
// its widgets; the command line prints them.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace vxadmin {

class StatusSink {
 public:
  virtual ~StatusSink() = default;
  // Adds one line to the status list (the sink adds the time stamp).
  virtual void AddStatusLine(const std::string& text) = 0;
  // Shows a message box with an OK button.
  virtual void ShowMessage(const std::string& text) = 0;
};

// The sink the console's operations report to. Null until the main window
// (or the command line) installs one; operations then fall back to message
// boxes on standard error, as before the main window exists.
StatusSink* CurrentStatusSink();
void SetStatusSink(StatusSink* sink);

// Adds a status line through the current sink (nothing without one).
void AddStatusLine(const std::string& text);
// Shows a message through the current sink, or on standard error.
void ShowMessage(const std::string& text);
// True once a sink is installed ("the main window exists").
bool HasMainWindow();

// "[%H:%M:%S] text": the form of a line in the status list.
std::string TimeStampedLine(const std::string& text);

// A sink that prints time-stamped lines to a stream (the command line).
class PrintingStatusSink : public StatusSink {
 public:
  explicit PrintingStatusSink(std::FILE* out);
  void AddStatusLine(const std::string& text) override;
  void ShowMessage(const std::string& text) override;

 private:
  std::FILE* out_;
};

}  // namespace vxadmin
