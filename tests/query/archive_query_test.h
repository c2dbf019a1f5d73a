// A test fixture for queries run on a fresh fixture archive, SQLite or
// PostgreSQL (the test's parameter): the archive, a connection to it,
// settings that match its date form and a debug log of the test's own,
// handed to the handlers in their context (nothing is published).
#ifndef VANTOR_TESTS_QUERY_ARCHIVE_QUERY_TEST_H_
#define VANTOR_TESTS_QUERY_ARCHIVE_QUERY_TEST_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "dicom/request_context.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/log.h"
#include "tests/query/query_test_util.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"

namespace vantor {

class ArchiveQueryTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  static constexpr int32_t kPort = 41004;

  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    config_.DateFormat = FixtureArchive::kDateFormat;
    config_.DCM = kPort;
    config_.Debug = true;
    config_.DBServer = archive_.DBServer();
    std::error_code ec;
    std::filesystem::remove(LogPath("Debug"), ec);
    std::filesystem::remove(LogPath("Error"), ec);
    db_.Open(ConnectionText(archive_.DBServer()));
  }

  template <typename F>
  void Configure(F change) {
    change(config_);
  }

  // A request's context on the test's connection, with the test's settings
  // and their log, as the dispatcher makes it.
  dicom::RequestContext Context(bool siemens = false, bool internal_id = false,
                                std::function<bool()> cancelled = {}) {
    return {.config = std::make_shared<const Config>(config_),
            .log = Log::Of(config_),
            .db = db_,
            .bSiemensBug = siemens,
            .bInternalID = internal_id,
            .cancelled = std::move(cancelled)};
  }

  static std::string LogPath(const std::string& kind) {
    return TestProgramDir() + "/Logs/" + kind + "Vantor" +
           std::to_string(kPort) + ".log";
  }
  static std::string DebugLog() { return ReadWholeFile(LogPath("Debug")); }
  static std::string ErrorLog() { return ReadWholeFile(LogPath("Error")); }

  Config config_;
  // The log of the settings above, for the lookups called directly.
  const Log log_{kPort, /*debug=*/true, /*any_debug=*/true};
  FixtureArchive archive_{GetParam()};
  Database db_;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_QUERY_ARCHIVE_QUERY_TEST_H_
