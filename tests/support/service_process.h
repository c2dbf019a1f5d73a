// The built service as a process of its own, for end-to-end tests.
//
// Each ServiceProcess owns a fresh program directory under /tmp holding a
// copy of the built service (and of the sender when it is built), the
// registry.reg it is started with, and the empty folders drives/c/Temp and
// drives/e, so that the default Windows paths (E:\Temp\, C:\Temp\) work. The
// DICOM port is a free loopback port chosen when the object is made, so the
// directory can be prepared before the start:
//
//   ServiceProcess service;
//   ServiceProcess::Options options;
//   options.db_server = archive.DBServer();
//   ASSERT_TRUE(service.Start(options)) << service.Describe();
//   ToolResult echo = RunDcmtkTool(
//       "echoscu", {"-aet", "ECHOSCU", "127.0.0.1", service.port_text()});
//
// The service runs with TCP_NODELAY=1 and without VANTOR_REGISTRY in its
// environment; it is killed when the thread that started it ends. The
// destructor stops it (SIGTERM, then SIGKILL) and removes the directory.
#ifndef VANTOR_TESTS_SUPPORT_SERVICE_PROCESS_H_
#define VANTOR_TESTS_SUPPORT_SERVICE_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_folder.h"

namespace vantor {

using RegValues = std::vector<std::pair<std::string, std::string>>;

// A registry.reg text (version 5.00, CR LF) with the default key and the
// instance key `instance` ("01" for "...\Vantor\01"); values are written with
// the file's escapes. A value named twice takes its later text.
std::string RegistryText(const RegValues& default_values,
                         const RegValues& instance_values,
                         const std::string& instance = "01");

// A port on 127.0.0.1 that was free a moment ago (bound, then released),
// drawn below the kernel's range of ephemeral ports, so that no outgoing
// connection of another test running at the same time takes it before
// the service listens on it.
int FreeLoopbackPort();

// Whether some socket of this host listens on TCP `port` (any address).
bool IsListening(int port);

class ServiceProcess {
 public:
  struct Options {
    // registry.reg as it stands, after every "{port}" is replaced by the
    // port and every "{caption}" by the caption. Empty: a registry made by
    // RegistryText from the fields below.
    std::string registry;

    // For the made registry: DBServer of the default key (left out when
    // empty), the instance key's DCM (the port), Debug (1 when `debug`) and
    // Caption, then these further values (which may override those).
    std::string db_server;
    bool debug = true;
    RegValues default_values;
    RegValues instance_values;

    // Caption; empty: "Vantor test <port>", unique among running services.
    std::string caption;
    // The command line's instance number; empty: none (the key "01").
    std::string instance;

    // Further environment variables ("NAME=value") of the service.
    std::vector<std::string> environment;

    // Whether Start waits until the service listens on its port (and, when
    // its debug log is written, until start-up has logged "Main finished").
    bool wait_until_listening = true;
    std::chrono::milliseconds start_timeout = std::chrono::seconds(15);
  };

  // Makes the program directory and chooses the port; starts nothing.
  ServiceProcess();
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Writes registry.reg and starts the service. With wait_until_listening,
  // true once it listens; false when it ended first or did not listen in
  // time (it is left running then; Describe() tells what happened).
  // Without waiting, true once the process runs. REQUIRES: not running (a
  // service that has ended, by Stop or on its own, may be started again in
  // the same program directory).
  bool Start(const Options& options);
  bool Start();

  int port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }
  const std::string& program_dir() const { return dir_; }
  const std::string& caption() const { return caption_; }
  pid_t pid() const { return pid_; }

  // Whether the process runs (an ended process is reaped here).
  bool running();

  // Waits up to `timeout` for the process to end on its own; its exit code
  // (128 + signal number when a signal ended it), or nothing while it runs.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);

  // SIGTERM, then up to `timeout` for the end, then SIGKILL. Returns the exit
  // code as WaitForExit gives it; the stored code when it had already
  // ended; -1 when it was never started.
  int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(15));

  // The exit code once the process has ended and been reaped.
  std::optional<int> exit_code() const { return exit_code_; }

  // The text of Logs/<file_name>, "" when missing.
  std::string ReadLog(const std::string& file_name) const;
  std::string ErrorLog() const;  // Logs/ErrorVantor<port>.log
  std::string DebugLog() const;  // Logs/DebugVantor<port>.log

  // Waits up to `timeout` until Logs/<file_name> contains `text`.
  bool WaitForLog(
      const std::string& file_name, const std::string& text,
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // What the service wrote to its standard output and error.
  std::string Output() const;

  // Port, state, exit code, output and both logs, for failure messages.
  std::string Describe();

 private:
  bool WaitUntilListening(std::chrono::steady_clock::time_point deadline);

  TempFolder folder_{"service"};
  const std::string dir_ = folder_.path();
  int port_ = 0;
  std::string caption_;
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
};

// What a client tool did.
struct ToolResult {
  int exit_code = -1;  // 128 + signal number when a signal ended it
  bool timed_out = false;
  std::string output;  // standard output and error, interleaved
};

// Runs a DCMTK client tool ("echoscu", "findscu", "getscu", "movescu",
// "storescu" from /usr/bin, or a path) with `args` and TCP_NODELAY=1 in its
// environment, in `work_dir` (the current directory when empty). A tool still
// running after `timeout` is killed and reported as timed out.
ToolResult RunDcmtkTool(
    const std::string& tool, const std::vector<std::string>& args,
    std::chrono::milliseconds timeout = std::chrono::seconds(30),
    const std::string& work_dir = "");

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_SERVICE_PROCESS_H_
