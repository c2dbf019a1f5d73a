// The protocol log: an appender on DCMTK's network logger that keeps the
// entries in memory until the service writes them out.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/appender.h>
#include <dcmtk/oflog/logger.h>
#include <dcmtk/oflog/loglevel.h>
#include <dcmtk/oflog/spi/logevent.h>

#include <deque>
#include <string>

#include "dicom/toolkit/toolkit.h"
#include "host/base/log.h"
#include "host/base/thread_annotations.h"

namespace vantor::dicom {
namespace {

namespace l4c = dcmtk::log4cplus;

constexpr int32_t kDefaultLength = 10000;
constexpr const char* kNetworkLogger = "dcmtk.dcmnet";

const char* LevelName(l4c::LogLevel level) {
  if (level >= l4c::ERROR_LOG_LEVEL) return "E";
  if (level >= l4c::WARN_LOG_LEVEL) return "W";
  if (level >= l4c::INFO_LOG_LEVEL) return "I";
  if (level >= l4c::DEBUG_LOG_LEVEL) return "D";
  return "T";
}

// The entries collected while running; shared by the appender (any
// association's thread) and the service's configuration pass.
struct Entries {
  Mutex mu;
  std::deque<std::string> lines GUARDED_BY(mu);
  size_t limit GUARDED_BY(mu) = kDefaultLength;
  bool running GUARDED_BY(mu) = false;
  l4c::LogLevel previous_level GUARDED_BY(mu) = l4c::NOT_SET_LOG_LEVEL;
  l4c::SharedAppenderPtr appender GUARDED_BY(mu);
};

Entries& State() {
  static Entries* entries = new Entries;
  return *entries;
}

class MemoryAppender : public l4c::Appender {
 public:
  MemoryAppender() { setName("vantor-protocol-log"); }
  ~MemoryAppender() override { destructorImpl(); }
  void close() override { closed = true; }

 protected:
  void append(const l4c::spi::InternalLoggingEvent& event) override {
    std::string line = LogTimestamp() + " " + LevelName(event.getLogLevel()) +
                       ": " + event.getMessage().c_str();
    Entries& s = State();
    MutexLock lock(&s.mu);
    if (!s.running) return;
    s.lines.push_back(std::move(line));
    while (s.lines.size() > s.limit) s.lines.pop_front();
  }
};

l4c::LogLevel LevelFor(int16_t level) {
  if (level < 0) return l4c::WARN_LOG_LEVEL;
  if (level == 0) return l4c::INFO_LOG_LEVEL;
  if (level == 1) return l4c::DEBUG_LOG_LEVEL;
  return l4c::TRACE_LOG_LEVEL;
}

}  // namespace

void ProtocolLog::Start(int32_t length, int16_t level) {
  Entries& s = State();
  MutexLock lock(&s.mu);
  if (s.running) return;
  s.limit = length > 0 ? static_cast<size_t>(length) : kDefaultLength;
  s.lines.clear();
  s.running = true;
  l4c::Logger logger = l4c::Logger::getInstance(kNetworkLogger);
  s.previous_level = logger.getLogLevel();
  s.appender = l4c::SharedAppenderPtr(new MemoryAppender);
  logger.addAppender(s.appender);
  // The network layer's lines go to the protocol log only, not the console.
  logger.setAdditivity(false);
  logger.setLogLevel(LevelFor(level));
}

void ProtocolLog::Stop() {
  Entries& s = State();
  l4c::SharedAppenderPtr appender;
  l4c::LogLevel previous_level;
  {
    MutexLock lock(&s.mu);
    if (!s.running) return;
    s.running = false;
    s.lines.clear();
    appender = s.appender;
    s.appender = l4c::SharedAppenderPtr();
    previous_level = s.previous_level;
  }
  l4c::Logger logger = l4c::Logger::getInstance(kNetworkLogger);
  logger.removeAppender(appender);
  logger.setAdditivity(true);
  logger.setLogLevel(previous_level);
}

bool ProtocolLog::Running() {
  Entries& s = State();
  MutexLock lock(&s.mu);
  return s.running;
}

int32_t ProtocolLog::Count() {
  Entries& s = State();
  MutexLock lock(&s.mu);
  return static_cast<int32_t>(s.lines.size());
}

std::string ProtocolLog::Text(int32_t count) {
  Entries& s = State();
  MutexLock lock(&s.mu);
  std::string text;
  size_t n = count < 0 ? 0 : static_cast<size_t>(count);
  for (size_t i = 0; i < n && i < s.lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += s.lines[i];
  }
  return text;
}

void ProtocolLog::Clear(int32_t count) {
  Entries& s = State();
  MutexLock lock(&s.mu);
  size_t n = count < 0 ? 0 : static_cast<size_t>(count);
  if (n > s.lines.size()) n = s.lines.size();
  s.lines.erase(s.lines.begin(), s.lines.begin() + n);
}

}  // namespace vantor::dicom
