// Helpers for the query tests: identifiers built from (group, element,
// value) triples, a request's context, and a settings snapshot that is put
// back afterwards.
#ifndef VANTOR_TESTS_QUERY_QUERY_TEST_UTIL_H_
#define VANTOR_TESTS_QUERY_QUERY_TEST_UTIL_H_

#include <cstdint>
#include <initializer_list>
#include <string>

#include <functional>
#include <utility>

#include "dicom/request_context.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/config.h"
#include "host/base/value.h"

namespace vantor {

struct Key {
  uint16_t group;
  uint16_t element;
  Value value;
};

inline dicom::Dataset Identifier(std::initializer_list<Key> keys) {
  dicom::Dataset ds;
  for (const Key& k : keys) ds.Put(k.group, k.element, k.value);
  return ds;
}

// Tags used by the tests.
inline constexpr uint16_t kPatient = 0x0010;
inline constexpr uint16_t kName = 0x0010, kId = 0x0020, kBirth = 0x0030,
                          kSex = 0x0040;

// A request's context on `db` with the settings as they are now and their
// log.
inline dicom::RequestContext ContextOn(Database& db, bool siemens = false,
                                       bool internal_id = false,
                                       std::function<bool()> cancelled = {}) {
  std::shared_ptr<const Config> config = Settings();
  Log log = Log::Of(*config);
  return {.config = std::move(config),
          .log = std::move(log),
          .db = db,
          .bSiemensBug = siemens,
          .bInternalID = internal_id,
          .cancelled = std::move(cancelled)};
}

// Changes settings for one test and restores the previous snapshot.
class ScopedSettings {
 public:
  ScopedSettings() : saved_(*Settings()) {}
  ~ScopedSettings() { PublishSettings(saved_); }
  ScopedSettings(const ScopedSettings&) = delete;
  ScopedSettings& operator=(const ScopedSettings&) = delete;

  template <typename F>
  void Change(F change) {
    Config next = *Settings();
    change(next);
    PublishSettings(std::move(next));
  }

 private:
  Config saved_;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_QUERY_QUERY_TEST_UTIL_H_
