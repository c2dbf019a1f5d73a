// The service's counters, read by the metrics page in the Prometheus text
// format. One Metrics object lives as long as the service; everything that
// counts is handed a pointer to it (a null pointer counts nothing). The
// counting calls are safe from any thread and cheap enough for every
// command; values that are read rather than counted (queue lengths, free
// space) are gauges asked for when the page is made.
#ifndef VANTOR_HOST_BASE_METRICS_H_
#define VANTOR_HOST_BASE_METRICS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vantor {

class Metrics {
 public:
  Metrics();
  ~Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // DICOM associations: how each request was answered ("accepted",
  // "rejected", "busy", "address", "ae_title", "invalid_ae_title"), and
  // those open now.
  void AssociationAnswered(const std::string& outcome);
  void AssociationClosed();

  // A DIMSE command answered: its name, the status of its final response,
  // its duration, and what it moved.
  void CommandAnswered(const std::string& command, uint16_t status,
                       double seconds, uint64_t bytes_received,
                       int images_sent);

  // A web request answered with `status` after `bytes` of body.
  void WebAnswered(int status, uint64_t bytes_sent);

  // Audit messages that could not be queued.
  void AuditDropped();

  // A gauge whose value `read` gives when the page is made (called on the
  // page's thread; it must not throw). Names are unique.
  void AddGauge(const std::string& name, const std::string& help,
                std::function<double()> read);
  // The same for the sample of `name` labelled `label`=`value`; several
  // samples of one name share its help text.
  void AddGauge(const std::string& name, const std::string& help,
                const std::string& label, const std::string& value,
                std::function<double()> read);
  // A counter kept elsewhere (it only grows), read when the page is made:
  // the sample of `name` with the label `label`=`value` (no label when
  // `label` is empty). Several samples of one name share its help text.
  void AddReadCounter(const std::string& name, const std::string& help,
                      const std::string& label, const std::string& value,
                      std::function<double()> read);

  // The page: every metric in the Prometheus text exposition format.
  std::string Page();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_METRICS_H_
