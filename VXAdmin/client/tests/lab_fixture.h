// Test support: a lab network (a console host and client hosts PC1 ... with
// their daemons), brought up for one test and taken down after it. The
// console host is current, its settings are those of an installed console
// (versions, installation folder with the agent and two spy databases),
// and its status lines are recorded.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VXAdmin/shell/app_settings.h"
#include "VXAdmin/shell/status.h"
#include "platform/host.h"
#include "platform/testing/temp_host.h"

namespace vxadmin::testing {

// Keeps every status line (without time stamp), thread-safe.
class RecordingSink : public StatusSink {
 public:
  void AddStatusLine(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  std::vector<std::string> Take();  // the lines so far, emptied

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

inline constexpr const char* kInstalledPath = "C:\\Program Files\\Veltrix";
inline constexpr const char* kProductVersion = "5.1";
inline constexpr const char* kDatabaseVersion = "2.0";

class LabTest : public ::testing::Test {
 protected:
  // Number of client hosts (PC1 ...); each costs seconds to bring up and
  // take down, so a test class asks for those it uses.
  virtual int Clients() const { return 1; }
  void SetUp() override;
  void TearDown() override;

  // Real path of a lab host's folder ("console", "pc1", ...).
  std::string Root(const std::string& host) const { return lab_ + "/" + host; }
  // Real path of a file of the console's installation folder.
  std::string Installed(const std::string& file) const;
  // Runs $VX_BIN_DIR/vxhost --root <lab>/<host> args...; true on exit 0.
  bool Vxhost(const std::string& host, const std::vector<std::string>& args) const;
  // Sets a string value under HKLM\Software\VXCorporate of a lab host.
  bool SetAgentValue(const std::string& host, const std::string& name, const std::string& value) const;
  // Copies the agent to the client, starts its service and registers the
  // console's versions, as an installation does; returns once the agent
  // has made its pipes (the log pipe is made last). Clears the recorded lines.
  void InstallAgent(const std::string& host);
  // Installs these settings for the console's workers (the registry stays).
  void UseSettings(const std::string& product, const std::string& database, bool ask_password);

  platform::testing::TempDir dir_;
  std::string lab_;
  std::unique_ptr<platform::Host> console_;
  std::unique_ptr<platform::ScopedHost> scope_;
  RecordingSink sink_;
};

}  // namespace vxadmin::testing
