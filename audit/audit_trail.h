// The audit trail: records are queued without blocking their producer and
// one worker thread turns them into audit messages and sends them to the
// configured collector (syslog over UDP or TLS), or appends them to
// Logs/Audit.log when none is configured. The queue is bounded; a record
// that finds it full is dropped and counted (Metrics::AuditDropped), with
// an error-log line at most once a minute. A collector that cannot be
// reached keeps the records queued and is tried again with a growing pause.
#ifndef VANTOR_AUDIT_AUDIT_TRAIL_H_
#define VANTOR_AUDIT_AUDIT_TRAIL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "audit/audit_message.h"
#include "host/base/audit_record.h"
#include "host/base/config.h"
#include "host/base/metrics.h"
#include "host/base/thread_annotations.h"

namespace vantor::audit {

// Where the messages go, as AuditCollector names it.
struct Collector {
  enum class Kind { kFile, kUdp, kTls, kInvalid };
  Kind kind = Kind::kFile;
  std::string host;
  int port = 0;
  std::string error;  // for kInvalid: what is wrong with the text
};

// "" is the file; "udp://host[:port]" (514) and "tls://host[:port]"
// (6514); an IPv6 address in brackets.
Collector ParseCollector(std::string_view text);

// One way of delivering messages. Send returns false when the message did
// not go out (it is tried again later); `why` tells why.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual bool Send(const AuditRecord& record, const AuditSource& source,
                    std::string& why) = 0;
};

// The transport for the collector of `config` (file, UDP or TLS; an
// invalid collector text falls back to the file).
std::unique_ptr<Transport> TransportFor(const Config& config);

class AuditTrail : public AuditSink {
 public:
  using SettingsSource = std::function<std::shared_ptr<const Config>()>;
  using TransportFactory =
      std::function<std::unique_ptr<Transport>(const Config& config)>;

  struct Options {
    size_t capacity = 10000;
    // How long Stop() goes on delivering what is queued.
    std::chrono::milliseconds drain_bound{2000};
    // The pauses after a failed delivery: from `first_pause`, doubling, to
    // `longest_pause`.
    std::chrono::milliseconds first_pause{500};
    std::chrono::milliseconds longest_pause{30000};
    // Empty: TransportFor.
    TransportFactory transport;
  };

  // `metrics` may be null.
  AuditTrail(SettingsSource settings, Metrics* metrics);
  AuditTrail(SettingsSource settings, Metrics* metrics, Options options);
  ~AuditTrail() override;
  AuditTrail(const AuditTrail&) = delete;
  AuditTrail& operator=(const AuditTrail&) = delete;

  // Starts the worker (records queued before are kept).
  void Start();
  // Queues the record when the Audit switch is on; never blocks.
  void Record(AuditRecord record) noexcept override;
  // Delivers what it can within the drain bound, then ends the worker;
  // what is left is dropped and counted. Later records are dropped.
  void Stop() noexcept;

  // Records dropped so far, and records waiting.
  uint64_t dropped() const;
  size_t waiting() const;

 private:
  void Work();
  void Drop(size_t count) noexcept;

  const SettingsSource settings_;
  Metrics* const metrics_;
  const Options options_;
  AuditSource source_base_;  // host and process id; set once

  mutable Mutex mutex_;
  CondVar wake_;
  std::deque<AuditRecord> queue_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  uint64_t dropped_ GUARDED_BY(mutex_) = 0;
  std::chrono::steady_clock::time_point last_drop_line_ GUARDED_BY(mutex_){};
  bool drop_line_written_ GUARDED_BY(mutex_) = false;
  std::thread worker_;
};

}  // namespace vantor::audit

#endif  // VANTOR_AUDIT_AUDIT_TRAIL_H_
