#include "tests/support/service_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/test_env.h"

extern char** environ;

namespace vantor {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(20);

std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

void ReplaceAll(std::string& text, const std::string& from,
                const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size()))
    text.replace(pos, from.size(), to);
}

// The exit code of a wait status: the code, or 128 + the signal number.
int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Reaps `pid` when it has ended; its exit code, or nothing while it runs.
std::optional<int> TryReap(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid) return ExitCode(status);
  if (r < 0) return -1;  // not our child any more
  return std::nullopt;
}

std::optional<int> ReapWithin(pid_t pid, Clock::time_point deadline) {
  for (;;) {
    if (std::optional<int> code = TryReap(pid)) return code;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPollInterval);
  }
}

// Ends `pid` for good: SIGKILL and a blocking reap.
int KillAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  return r == pid ? ExitCode(status) : -1;
}

// The test process's environment without VANTOR_REGISTRY, with
// TCP_NODELAY=1 and `extra`, whose variables replace the test process's
// own (an ODBCINI a database fixture set for the test process must not
// hide the one a test gives its service).
std::vector<std::string> ChildEnvironment(
    const std::vector<std::string>& extra) {
  auto replaced = [&](std::string_view var) {
    for (const std::string& e : extra) {
      const size_t eq = e.find('=');
      if (eq != std::string::npos && var.substr(0, eq + 1) == e.substr(0, eq + 1))
        return true;
    }
    return false;
  };
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view var(*e);
    if (var.starts_with("VANTOR_REGISTRY=") || var.starts_with("TCP_NODELAY=") ||
        replaced(var))
      continue;
    env.emplace_back(var);
  }
  env.emplace_back("TCP_NODELAY=1");
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// Starts `path` with `args`, its standard output and error on `out_fd`, its
// input from /dev/null, in `work_dir`. The child is killed when the calling
// thread ends. Throws when the process cannot be made.
pid_t Spawn(const std::string& path, const std::vector<std::string>& args,
            const std::string& work_dir, int out_fd,
            const std::vector<std::string>& extra_env = {}) {
  // Everything the child needs is prepared before the fork.
  std::vector<std::string> env_text = ChildEnvironment(extra_env);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0) throw std::runtime_error("cannot open /dev/null");
  const pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(null_fd);
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(null_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(out_fd, 2);
    if (!work_dir.empty() && ::chdir(work_dir.c_str()) != 0) ::_exit(127);
    ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(null_fd);
  return pid;
}

}  // namespace

std::string RegistryText(const RegValues& default_values,
                         const RegValues& instance_values,
                         const std::string& instance) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  auto block = [&](const std::string& key, const RegValues& values) {
    text += "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\" + key + "]\r\n";
    for (const auto& [name, value] : values)
      text += Quoted(name) + "=" + Quoted(value) + "\r\n";
    text += "\r\n";
  };
  block(" Default", default_values);
  block("Vantor\\" + instance, instance_values);
  return text;
}

namespace {

// Whether 127.0.0.1:`port` can be bound now (0: any port); the port bound.
int BindLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  int bound = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    bound = ntohs(addr.sin_port);
  ::close(fd);
  return bound;
}

}  // namespace

int FreeLoopbackPort() {
  // The first ephemeral port (32768 unless the machine says otherwise).
  int ephemeral = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeral;
  constexpr int kLowest = 10000;
  if (ephemeral > kLowest + 1000) {
    static std::mutex mu;
    static std::mt19937 draw(std::random_device{}() ^
                             static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<int> pick(kLowest, ephemeral - 1);
    for (int i = 0; i < 200; ++i) {
      int candidate;
      {
        std::lock_guard<std::mutex> lock(mu);
        candidate = pick(draw);
      }
      const int port = BindLoopback(candidate);
      if (port > 0) return port;
    }
  }
  const int port = BindLoopback(0);
  if (port <= 0) throw std::runtime_error("cannot find a free loopback port");
  return port;
}

bool IsListening(int port) {
  // The kernel's socket tables: "sl local_address rem_address st ...", the
  // local address ending in ":<port in hex>", state 0A for LISTEN.
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string sl, local, remote, state;
      if (!(fields >> sl >> local >> remote >> state)) continue;
      size_t colon = local.rfind(':');
      if (colon == std::string::npos || state != "0A") continue;
      if (std::stoi(local.substr(colon + 1), nullptr, 16) == port) return true;
    }
  }
  return false;
}

ServiceProcess::ServiceProcess() {
  port_ = FreeLoopbackPort();
  caption_ = "Vantor test " + std::to_string(port_);
  const fs::path build = VANTOR_BUILD_DIR;
  for (const char* program : {"vantor", "vantor-send"}) {
    if (!fs::exists(build / program)) continue;
    fs::copy_file(build / program, fs::path(dir_) / program);
    fs::permissions(fs::path(dir_) / program, fs::perms::owner_all,
                    fs::perm_options::add);
  }
  fs::create_directories(dir_ + "/drives/c/Temp");
  fs::create_directories(dir_ + "/drives/e");
}

ServiceProcess::~ServiceProcess() { Stop(); }

bool ServiceProcess::Start() { return Start(Options()); }

bool ServiceProcess::Start(const Options& options) {
  if (pid_ > 0 && !exit_code_)
    throw std::logic_error("the service is running already");
  if (!options.caption.empty()) caption_ = options.caption;
  std::string registry = options.registry;
  if (registry.empty()) {
    RegValues default_values;
    if (!options.db_server.empty())
      default_values.emplace_back("DBServer", options.db_server);
    default_values.insert(default_values.end(), options.default_values.begin(),
                          options.default_values.end());
    RegValues instance_values = {{"DCM", port_text()},
                                 {"Debug", options.debug ? "1" : "0"},
                                 {"Caption", caption_}};
    instance_values.insert(instance_values.end(),
                           options.instance_values.begin(),
                           options.instance_values.end());
    registry = RegistryText(default_values, instance_values,
                            options.instance.empty() ? "01" : options.instance);
  } else {
    ReplaceAll(registry, "{port}", port_text());
    ReplaceAll(registry, "{caption}", caption_);
  }
  std::ofstream(dir_ + "/registry.reg", std::ios::binary | std::ios::trunc)
      << registry;

  const std::string program = dir_ + "/vantor";
  if (!fs::exists(program))
    throw std::runtime_error("the service is not built: " + program);
  std::vector<std::string> args;
  if (!options.instance.empty()) args.push_back(options.instance);
  int out_fd = ::open((dir_ + "/service.out").c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out_fd < 0) throw std::runtime_error("cannot create service.out");
  pid_ = Spawn(program, args, dir_, out_fd, options.environment);
  ::close(out_fd);
  exit_code_.reset();

  if (!options.wait_until_listening) return true;
  return WaitUntilListening(Clock::now() + options.start_timeout);
}

bool ServiceProcess::WaitUntilListening(Clock::time_point deadline) {
  const std::string listen_line =
      "Vantor is listen on port " + port_text() + "\t";
  for (;;) {
    if (!running()) return false;
    if (IsListening(port_) || DebugLog().find(listen_line) != std::string::npos)
      break;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  // With the debug log on, start-up is complete at its last line.
  const std::string last_line = "\tMain finished\tMain\r\n";
  for (;;) {
    std::string debug = DebugLog();
    if (debug.empty() || debug.find(last_line) != std::string::npos)
      return true;
    if (!running()) return false;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

bool ServiceProcess::running() {
  if (pid_ <= 0 || exit_code_) return false;
  exit_code_ = TryReap(pid_);
  return !exit_code_;
}

std::optional<int> ServiceProcess::WaitForExit(
    std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  if (!exit_code_) exit_code_ = ReapWithin(pid_, Clock::now() + timeout);
  return exit_code_;
}

int ServiceProcess::Stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  if (exit_code_) return *exit_code_;
  if (running()) {
    ::kill(pid_, SIGTERM);
    exit_code_ = ReapWithin(pid_, Clock::now() + timeout);
    if (!exit_code_) exit_code_ = KillAndReap(pid_);
  }
  return *exit_code_;
}

std::string ServiceProcess::ReadLog(const std::string& file_name) const {
  return ReadWholeFile(dir_ + "/Logs/" + file_name);
}

std::string ServiceProcess::ErrorLog() const {
  return ReadLog("ErrorVantor" + port_text() + ".log");
}

std::string ServiceProcess::DebugLog() const {
  return ReadLog("DebugVantor" + port_text() + ".log");
}

bool ServiceProcess::WaitForLog(const std::string& file_name,
                                const std::string& text,
                                std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (ReadLog(file_name).find(text) != std::string::npos) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::string ServiceProcess::Output() const {
  return ReadWholeFile(dir_ + "/service.out");
}

std::string ServiceProcess::Describe() {
  std::ostringstream out;
  out << "service on port " << port_ << " in " << dir_ << ": ";
  if (pid_ <= 0) {
    out << "not started";
  } else if (running()) {
    out << "running as " << pid_;
  } else {
    out << "ended with " << *exit_code_;
  }
  out << "\n--- output ---\n"
      << Output() << "--- error log ---\n"
      << ErrorLog() << "--- debug log ---\n"
      << DebugLog();
  return out.str();
}

ToolResult RunDcmtkTool(const std::string& tool,
                        const std::vector<std::string>& args,
                        std::chrono::milliseconds timeout,
                        const std::string& work_dir) {
  const std::string path =
      tool.find('/') == std::string::npos ? "/usr/bin/" + tool : tool;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_t pid;
  try {
    pid = Spawn(path, args, work_dir, pipe_fds[1]);
  } catch (...) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    throw;
  }
  ::close(pipe_fds[1]);

  ToolResult result;
  const auto deadline = Clock::now() + timeout;
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      break;
    }
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    int n = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;  // the deadline is checked above
    ssize_t got = ::read(pipe_fds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of output
    result.output.append(buf, static_cast<size_t>(got));
  }
  ::close(pipe_fds[0]);
  std::optional<int> code;
  if (!result.timed_out) code = ReapWithin(pid, deadline);
  if (!code) {
    result.timed_out = true;
    code = KillAndReap(pid);
  }
  result.exit_code = *code;
  return result;
}

}  // namespace vantor
