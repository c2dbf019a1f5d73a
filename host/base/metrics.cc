#include "host/base/metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/metric_family.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "host/base/thread_annotations.h"

namespace vantor {
namespace {

// A DIMSE status as the logs write it ("0000", "C000", "A700").
std::string StatusLabel(uint16_t status) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", status);
  return text;
}

// Buckets from a millisecond to two minutes: an echo, a one-study query,
// an image, a whole study's retrieval.
prometheus::Histogram::BucketBoundaries DurationBuckets() {
  return {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
          0.5,   1,      2.5,   5,    10,    30,   60,  120};
}

}  // namespace

struct Metrics::Impl {
  prometheus::Registry registry;
  prometheus::Family<prometheus::Counter>& associations =
      prometheus::BuildCounter()
          .Name("vantor_associations_total")
          .Help("DICOM association requests by how they were answered")
          .Register(registry);
  prometheus::Gauge& open =
      prometheus::BuildGauge()
          .Name("vantor_associations_open")
          .Help("DICOM associations open now")
          .Register(registry)
          .Add({});
  prometheus::Family<prometheus::Counter>& commands =
      prometheus::BuildCounter()
          .Name("vantor_dimse_requests_total")
          .Help("DIMSE requests answered, by command and final status")
          .Register(registry);
  prometheus::Family<prometheus::Histogram>& durations =
      prometheus::BuildHistogram()
          .Name("vantor_dimse_duration_seconds")
          .Help("Time from a DIMSE request to its final response")
          .Register(registry);
  prometheus::Counter& bytes_received =
      prometheus::BuildCounter()
          .Name("vantor_received_bytes_total")
          .Help("Bytes of datasets received by C-STORE")
          .Register(registry)
          .Add({});
  prometheus::Counter& images_received =
      prometheus::BuildCounter()
          .Name("vantor_images_received_total")
          .Help("Images received and stored (C-STORE answered with success)")
          .Register(registry)
          .Add({});
  prometheus::Family<prometheus::Counter>& images_sent =
      prometheus::BuildCounter()
          .Name("vantor_images_sent_total")
          .Help("Images sent by C-GET and C-MOVE sub-operations")
          .Register(registry);
  prometheus::Family<prometheus::Counter>& web_requests =
      prometheus::BuildCounter()
          .Name("vantor_web_requests_total")
          .Help("Web requests answered, by HTTP status")
          .Register(registry);
  prometheus::Counter& web_bytes =
      prometheus::BuildCounter()
          .Name("vantor_web_sent_bytes_total")
          .Help("Bytes of web answers sent")
          .Register(registry)
          .Add({});
  prometheus::Counter& audit_dropped =
      prometheus::BuildCounter()
          .Name("vantor_audit_dropped_total")
          .Help("Audit messages dropped because their queue was full")
          .Register(registry)
          .Add({});

  struct ReadGauge {
    prometheus::Gauge* gauge;
    std::function<double()> read;
  };
  struct ReadCounter {
    std::string name;
    std::string help;
    std::string label;
    std::string value;
    std::function<double()> read;
  };
  // The samples of the labelled families, found again without making a
  // metric that Family::Add would make and throw away on every call (a
  // histogram's buckets on every command).
  template <typename T, typename... Args>
  T& Sample(prometheus::Family<T>& family, const prometheus::Labels& labels,
            Args&&... args) {
    MutexLock lock(&samples_mu);
    auto& known = samples[&family];
    if (auto it = known.find(labels); it != known.end())
      return *static_cast<T*>(it->second);
    T& made = family.Add(labels, std::forward<Args>(args)...);
    known.emplace(labels, &made);
    return made;
  }
  Mutex samples_mu;
  std::map<const void*, std::map<prometheus::Labels, void*>> samples
      GUARDED_BY(samples_mu);

  Mutex mu;
  std::vector<ReadGauge> read_gauges GUARDED_BY(mu);
  std::map<std::string, prometheus::Family<prometheus::Gauge>*> gauge_families
      GUARDED_BY(mu);
  std::vector<ReadCounter> read_counters GUARDED_BY(mu);
};

Metrics::Metrics() : impl_(std::make_unique<Impl>()) {}
Metrics::~Metrics() = default;

void Metrics::AssociationAnswered(const std::string& outcome) {
  impl_->Sample(impl_->associations, {{"outcome", outcome}}).Increment();
  if (outcome == "accepted") impl_->open.Increment();
}

void Metrics::AssociationClosed() { impl_->open.Decrement(); }

void Metrics::CommandAnswered(const std::string& command, uint16_t status,
                              double seconds, uint64_t bytes_received,
                              int images_sent) {
  impl_
      ->Sample(impl_->commands,
               {{"command", command}, {"status", StatusLabel(status)}})
      .Increment();
  impl_->Sample(impl_->durations, {{"command", command}}, DurationBuckets())
      .Observe(seconds);
  if (command == "C-STORE") {
    impl_->bytes_received.Increment(static_cast<double>(bytes_received));
    if (status == 0) impl_->images_received.Increment();
  }
  if (images_sent > 0)
    impl_->Sample(impl_->images_sent, {{"command", command}})
        .Increment(images_sent);
}

void Metrics::WebAnswered(int status, uint64_t bytes_sent) {
  impl_->Sample(impl_->web_requests, {{"status", std::to_string(status)}})
      .Increment();
  impl_->web_bytes.Increment(static_cast<double>(bytes_sent));
}

void Metrics::AuditDropped() { impl_->audit_dropped.Increment(); }

void Metrics::AddGauge(const std::string& name, const std::string& help,
                       std::function<double()> read) {
  AddGauge(name, help, "", "", std::move(read));
}

void Metrics::AddGauge(const std::string& name, const std::string& help,
                       const std::string& label, const std::string& value,
                       std::function<double()> read) {
  MutexLock lock(&impl_->mu);
  prometheus::Family<prometheus::Gauge>*& family = impl_->gauge_families[name];
  if (family == nullptr)
    family = &prometheus::BuildGauge().Name(name).Help(help).Register(
        impl_->registry);
  prometheus::Labels labels;
  if (!label.empty()) labels[label] = value;
  impl_->read_gauges.push_back({&family->Add(labels), std::move(read)});
}

void Metrics::AddReadCounter(const std::string& name, const std::string& help,
                             const std::string& label, const std::string& value,
                             std::function<double()> read) {
  MutexLock lock(&impl_->mu);
  impl_->read_counters.push_back({name, help, label, value, std::move(read)});
}

std::string Metrics::Page() {
  std::vector<prometheus::MetricFamily> families;
  {
    MutexLock lock(&impl_->mu);
    for (const Impl::ReadGauge& g : impl_->read_gauges) g.gauge->Set(g.read());
    families = impl_->registry.Collect();
    // The counters kept elsewhere, one family per name in the order added.
    const size_t first = families.size();
    for (const Impl::ReadCounter& c : impl_->read_counters) {
      prometheus::MetricFamily* family = nullptr;
      for (size_t i = first; i < families.size(); ++i)
        if (families[i].name == c.name) family = &families[i];
      if (family == nullptr) {
        families.push_back({c.name, c.help, prometheus::MetricType::Counter, {}});
        family = &families.back();
      }
      prometheus::ClientMetric metric;
      if (!c.label.empty()) metric.label.push_back({c.label, c.value});
      metric.counter.value = c.read();
      family->metric.push_back(std::move(metric));
    }
  }
  return prometheus::TextSerializer().Serialize(families);
}

}  // namespace vantor
