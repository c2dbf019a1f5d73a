#include "host/service.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <thread>

#include "dicom/front.h"
#include "dicom/toolkit/toolkit.h"
#include "host/association_records.h"
#include "host/base/audit_record.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/paths.h"
#include "host/configuration_pass.h"
#include "host/dcm_log.h"
#include "host/front_services.h"
#include "host/instance_lock.h"
#include "host/systemd_notify.h"
#include "host/tls_listener.h"
#include "web/web_port.h"
#include "net/event_loop.h"
#include "retrieve/move_handoff.h"
#include "retrieve/store/image_reception.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

constexpr int kTimerPeriodSeconds = 5;
constexpr int kMaxAssociations = 32;

// The main window's state: the handlers and the front they stand behind,
// the server object and the timer.
struct MainWindow {
  FrontServicesHost services;
  dicom::Front front{services.Table(), &Settings};
  std::unique_ptr<dicom::Server> DCMServer;
  TlsListener tls;
  // DICOMweb and WADO-URI on the HTTP and HTTPS ports, when set.
  web::WebPort web{services.Table(), &Settings};
  bool TimerAlive = false;
  uint16_t ticks = 0;
  // The start went into the audit trail: the stop goes too.
  bool audited_start = false;
};

std::string PortText() { return std::to_string(Settings()->DCM); }

void Form_Load(MainWindow& window) {
  GuardVoid("Form_Load", [&] {
    // The pause lets a supervisor that started us settle; 500 short sleeps.
    for (int i = 0; i < 500; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ConfigurationPass();
    BuildPathes();
    // Nothing is received yet: what a crash left in the incoming folder goes.
    const std::shared_ptr<const Config> config = Settings();
    RemoveInterruptedReceptions(*config, Log::Of(*config));
    CreateJobFolder();
    window.services.PrepareSender();
    window.services.StartImporter();
    window.services.StartJobWorkers();
    window.services.audit().Start();
  });
}

// The service's own start and stop in the audit trail.
void AuditApplication(MainWindow& window, AuditEvent event) {
  AuditRecord record;
  record.event = event;
  window.services.audit().Record(std::move(record));
}

// Shutdown, in order: timer off, stop listening, release the server object,
// close the database connection. Never cancels.
void Form_QueryUnload(MainWindow& window) {
  GuardVoid("QueryUnload", [&] {
    window.TimerAlive = false;
    window.services.SetListening(false);
    if (window.DCMServer) {
      window.DCMServer->StopListening(Settings()->DCM);
      window.tls.Close(*window.DCMServer);
    }
    window.web.Close();
    if (window.audited_start)
      AuditApplication(window, AuditEvent::kApplicationStop);
    window.services.BeginShutdown();
    window.DCMServer.reset();
    // What the associations recorded before they ended goes out too.
    window.services.audit().Stop();
    window.services.CloseConnections();
    // Requests work on connections of their own; the shared connection of
    // the service host is closed here for its log line.
    Database db;
    ConClose(db);
    DebugLogWrite("Form unload", "QueryUnload");
    // The protocol entries collected since the last pass would be lost with
    // the process: write them out (the log itself keeps running to the end).
    if (DcmLogStatus()) DcmLogWrite();
  });
}

// The server's share of the settings: plain values, taken after every
// configuration pass.
void ApplyServerSettings(MainWindow& window) {
  if (!window.DCMServer) return;
  auto config = Settings();
  window.DCMServer->SetTimeouts(config->AssociationTimeout,
                                config->IdleTimeout);
  dicom::AssociationBounds bounds;
  bounds.per_address = config->AssociationsPerAddress;
  bounds.per_ae_title = config->AssociationsPerAETitle;
  bounds.balancers = config->BalancerAddresses;
  window.DCMServer->SetBounds(bounds);
}

// On every tick: the heartbeat, and every sixth tick a configuration pass.
void OnTimerAlive(MainWindow& window) {
  TimerAlive_Timer(window.ticks);
  ApplyServerSettings(window);
  window.services.PruneConnections();
  // The association records are pruned with each configuration pass.
  if (window.ticks == 0) {
    PruneAssociationFolder();
    // A renewed certificate is taken up without a restart.
    if (window.DCMServer) window.tls.Update(*window.DCMServer);
    window.web.Update();
    // A sender waits for the next C-MOVE on the database now configured.
    window.services.PrepareSender();
  }
  NotifyWatchdog();
}

// Runs the main loop until SIGTERM or SIGINT. `signal_fd` reads the close
// request; the timer ticks every 5 s while enabled; the socket class's
// notifications run from the main event loop.
void RunMainLoop(MainWindow& window, int signal_fd) {
  int timer_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  if (timer_fd < 0) throw Failure(kInternalError, std::strerror(errno));
  itimerspec period{};
  period.it_interval.tv_sec = kTimerPeriodSeconds;
  period.it_value.tv_sec = kTimerPeriodSeconds;
  ::timerfd_settime(timer_fd, 0, &period, nullptr);
  for (;;) {
    pollfd fds[3] = {{signal_fd, POLLIN, 0},
                     {timer_fd, POLLIN, 0},
                     {MainEventLoop().fd(), POLLIN, 0}};
    int n = ::poll(fds, 3, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      (void)!::read(signal_fd, &info, sizeof info);
      break;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t expirations = 0;
      (void)!::read(timer_fd, &expirations, sizeof expirations);
      // Missed ticks are not made up.
      if (window.TimerAlive) OnTimerAlive(window);
    }
    if (fds[2].revents & POLLIN) MainEventLoop().RunPending();
  }
  ::close(timer_fd);
}

}  // namespace

void BuildPathes() {
  std::error_code ec;
  const std::string associations = InProgramDir("Associations");
  const std::string port_dir = associations + "/" + PortText();
  if (!fs::is_directory(associations, ec))
    fs::create_directory(associations, ec);
  if (!fs::is_directory(port_dir, ec)) fs::create_directory(port_dir, ec);
  for (fs::directory_iterator it(port_dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code entry_ec;
    if (!it->is_regular_file(entry_ec)) continue;
    // Read-only files are not forced.
    struct stat st {};
    if (::stat(it->path().c_str(), &st) == 0 && !(st.st_mode & S_IWUSR))
      continue;
    fs::remove(it->path(), entry_ec);
  }
  const std::string logs = InProgramDir("Logs");
  if (!fs::is_directory(logs, ec)) fs::create_directory(logs, ec);
  DebugLogWrite("Pathes built", "BuildPathes");
}

int Main(const std::string& command_line) {
  MainWindow window;
  InstanceLock lock;
  try {
    dicom::InitializeToolkit();
    // Close requests arrive on the main loop, never as asynchronous handlers.
    sigset_t close_signals;
    sigemptyset(&close_signals);
    sigaddset(&close_signals, SIGTERM);
    sigaddset(&close_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &close_signals, nullptr);
    int signal_fd = ::signalfd(-1, &close_signals, SFD_CLOEXEC);
    if (signal_fd < 0) throw Failure(kInternalError, std::strerror(errno));

    Config first = *Settings();
    first.instance_key = InstanceKeyFromCommandLine(command_line);
    PublishSettings(first);
    ConfigurationPass();

    const std::string caption = Settings()->Caption;
    if (!lock.Acquire(caption)) {
      ErrorLogWrite(0, "'" + caption + "' already running, Vantor end", "Main");
      return 1;
    }

    window.DCMServer =
        std::make_unique<dicom::Server>(window.front, kMaxAssociations);
    Form_Load(window);
    ApplyServerSettings(window);

    const int port = Settings()->DCM;
    window.DCMServer->StopListening(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    if (!window.DCMServer->Listen(port)) {
      Form_QueryUnload(window);
      ErrorLogWrite(
          0, "Cannot list on port " + std::to_string(port) + ", Vantor end",
          "Main");
      return 1;
    }
    DebugLogWrite("Vantor is listen on port " + std::to_string(port), "");
    window.services.SetListening(true);
    window.tls.Update(*window.DCMServer);
    window.web.Update();
    window.TimerAlive = true;
    DebugLogWrite("Main finished", "Main");
    AuditApplication(window, AuditEvent::kApplicationStart);
    window.audited_start = true;
    NotifyReady();

    RunMainLoop(window, signal_fd);
    NotifyStopping();
    Form_QueryUnload(window);
    ::close(signal_fd);
    return 0;
  } catch (...) {
    FailureInfo info = CurrentFailure();
    ErrorLogWrite(info.number, info.description + ", Vantor end", "Main");
    return 1;
  }
}

}  // namespace vantor
