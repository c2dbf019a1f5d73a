#include "dicom/node_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "host/base/config.h"
#include "host/base/database.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"

namespace vantor::dicom {
namespace {

TEST(NodeLookupStatementTest, QuotesBothValues) {
  EXPECT_EQ(NodeLookupStatement("ECHOSCU", "127.0.0.1"),
            "Select * from tblDicomAETs where AET = 'ECHOSCU' And IPAdress = "
            "'127.0.0.1'");
  EXPECT_EQ(NodeLookupStatement("O'NEIL", "1'2"),
            "Select * from tblDicomAETs where AET = 'O''NEIL' And IPAdress = "
            "'1''2'");
}

TEST(NodeRowStatementTest, EachSpellingWithAndWithoutTheAddress) {
  struct Case {
    const char* aet;
    std::optional<std::string_view> address;
    SqlSpelling spelling;
    const char* sql;
  };
  const Case cases[] = {
      {"DEST", std::nullopt, SqlSpelling::kUpperCase,
       "SELECT * FROM tblDicomAETs WHERE AET = 'DEST'"},
      {"O'NEIL", "10.0.0.1", SqlSpelling::kUpperCase,
       "SELECT * FROM tblDicomAETs WHERE AET = 'O''NEIL' AND IPAdress = "
       "'10.0.0.1'"},
      {"ECHOSCU", std::nullopt, SqlSpelling::kMixedCase,
       "Select * from tblDicomAETs where AET = 'ECHOSCU'"},
      {"ECHOSCU", "1'2", SqlSpelling::kMixedCase,
       "Select * from tblDicomAETs where AET = 'ECHOSCU' And IPAdress = "
       "'1''2'"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NodeRowStatement(c.aet, c.address, c.spelling), c.sql);
}

// GetAET on a fresh archive, through the connection the dispatcher opens.
// The node table of a fixture archive, SQLite or PostgreSQL.
class GetAETTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    ASSERT_TRUE(ConOpen(db_, archive_.DBServer(), log_));
  }
  void TearDown() override { ConClose(db_, log_); }

  // Looks the caller up with both flags passed in as `flags_in`.
  int32_t Lookup(const std::string& aet, const std::string& ip,
                 bool flags_in = false) {
    siemens_ = flags_in;
    internal_id_ = flags_in;
    return GetAET(db_, aet, ip, siemens_, internal_id_, log_);
  }

  const Log log_{40102, /*debug=*/false, /*any_debug=*/false};
  FixtureArchive archive_{GetParam()};
  Database db_;
  bool siemens_ = false;
  bool internal_id_ = false;
};

INSTANTIATE_TEST_SUITE_P(Archive, GetAETTest, kArchiveBackends,
                         ArchiveBackendName);

TEST_P(GetAETTest, KnownNodeHandsOnItsFlags) {
  archive_.AddNode("VIEWER", "127.0.0.1", /*siemens=*/true,
                   /*internal_id=*/false);
  archive_.AddNode("RIS", "127.0.0.2", /*siemens=*/false,
                   /*internal_id=*/true);
  archive_.AddNode("PLAIN", "127.0.0.3");

  EXPECT_EQ(Lookup("VIEWER", "127.0.0.1"), kKnownNode);
  EXPECT_TRUE(siemens_);
  EXPECT_FALSE(internal_id_);

  EXPECT_EQ(Lookup("RIS", "127.0.0.2"), kKnownNode);
  EXPECT_FALSE(siemens_);
  EXPECT_TRUE(internal_id_);

  // The row's flags replace whatever was passed in.
  EXPECT_EQ(Lookup("PLAIN", "127.0.0.3", /*flags_in=*/true), kKnownNode);
  EXPECT_FALSE(siemens_);
  EXPECT_FALSE(internal_id_);
}

TEST_P(GetAETTest, TitleAndAddressMustMatchTogether) {
  archive_.AddNode("VIEWER", "127.0.0.1", true, true);
  archive_.AddNode("MODALITY", "127.0.0.5");

  EXPECT_EQ(Lookup("VIEWER", "127.0.0.5", true), kUnknownNode);
  EXPECT_EQ(Lookup("MODALITY", "127.0.0.1", true), kUnknownNode);
  EXPECT_EQ(Lookup("OTHER", "127.0.0.1", true), kUnknownNode);
  EXPECT_EQ(Lookup("", "", true), kUnknownNode);
  // An unknown caller's flags stay as they were passed in.
  EXPECT_TRUE(siemens_);
  EXPECT_TRUE(internal_id_);
}

TEST_P(GetAETTest, StoreOnlyNodeIsRefusedAndKeepsTheFlagsUntouched) {
  archive_.AddNode("STORER", "127.0.0.1", /*siemens=*/true,
                   /*internal_id=*/true, /*store_only=*/true);
  EXPECT_EQ(Lookup("STORER", "127.0.0.1"), kStoreOnlyNode);
  EXPECT_FALSE(siemens_);
  EXPECT_FALSE(internal_id_);
}

TEST_P(GetAETTest, NullFlagsCountAsFalse) {
  archive_.AddNode("NULLSTORE", "127.0.0.1", /*siemens=*/true, false,
                   /*store_only=*/std::nullopt);
  EXPECT_EQ(Lookup("NULLSTORE", "127.0.0.1"), kKnownNode);
  EXPECT_TRUE(siemens_);

  archive_.Exec(
      "UPDATE tblDicomAETs SET AETSiemens = NULL, InternalID = NULL "
      "WHERE AET = 'NULLSTORE'");
  EXPECT_EQ(Lookup("NULLSTORE", "127.0.0.1", /*flags_in=*/true), kKnownNode);
  EXPECT_FALSE(siemens_);
  EXPECT_FALSE(internal_id_);
}

TEST_P(GetAETTest, OnlyTheFirstOfTwoMatchingRowsCounts) {
  archive_.AddNode("TWICE", "127.0.0.1", /*siemens=*/true, false);
  archive_.AddNode("TWICE", "127.0.0.1", false, /*internal_id=*/true,
                   /*store_only=*/true);
  EXPECT_EQ(Lookup("TWICE", "127.0.0.1"), kKnownNode);
  EXPECT_TRUE(siemens_);
  EXPECT_FALSE(internal_id_);

  archive_.AddNode("TWICE2", "127.0.0.1", false, false, /*store_only=*/true);
  archive_.AddNode("TWICE2", "127.0.0.1", true, true, false);
  EXPECT_EQ(Lookup("TWICE2", "127.0.0.1"), kStoreOnlyNode);
}

TEST_P(GetAETTest, ApostropheCannotEndTheLiteral) {
  archive_.AddNode("O'NEIL", "127.0.0.1", true, false);
  EXPECT_EQ(Lookup("O'NEIL", "127.0.0.1"), kKnownNode);
  EXPECT_TRUE(siemens_);

  // A title built to widen the condition finds nothing.
  archive_.AddNode("VIEWER", "127.0.0.1");
  EXPECT_EQ(Lookup("X' OR '1'='1", "127.0.0.1"), kUnknownNode);
  EXPECT_EQ(Lookup("VIEWER", "x' OR AET = 'VIEWER"), kUnknownNode);
  EXPECT_EQ(Lookup("VIEWER'--", "127.0.0.1"), kUnknownNode);
}

TEST_P(GetAETTest, TrailingBlanksOfATitleDoNotCount) {
  if (GetParam() == ArchiveBackend::kPostgres)
    GTEST_SKIP() << "PostgreSQL compares trailing blanks: its node table "
                    "refuses them, and the titles looked up come trimmed "
                    "(archive/README.md)";
  // The dispatcher trims the calling title; the archive compares titles and
  // addresses as SQL Server does, ignoring trailing blanks on either side.
  archive_.AddNode("ECHOSCU", "127.0.0.1", true, false);
  archive_.AddNode("PADDED  ", "127.0.0.1", false, true);
  EXPECT_EQ(Lookup("ECHOSCU  ", "127.0.0.1"), kKnownNode);
  EXPECT_TRUE(siemens_);
  EXPECT_EQ(Lookup("PADDED", "127.0.0.1"), kKnownNode);
  EXPECT_TRUE(internal_id_);
  // Leading blanks are part of the title.
  EXPECT_EQ(Lookup("  ECHOSCU", "127.0.0.1"), kUnknownNode);
}

TEST_P(GetAETTest, RowsAreReadAfreshOnEveryLookup) {
  archive_.AddNode("LATER", "127.0.0.1");
  EXPECT_EQ(Lookup("LATER", "127.0.0.1"), kKnownNode);
  archive_.Exec("UPDATE tblDicomAETs SET StoreOnly = '1' WHERE AET = 'LATER'");
  EXPECT_EQ(Lookup("LATER", "127.0.0.1"), kStoreOnlyNode);
  archive_.Exec("DELETE FROM tblDicomAETs WHERE AET = 'LATER'");
  EXPECT_EQ(Lookup("LATER", "127.0.0.1"), kUnknownNode);
}

TEST_P(GetAETTest, DatabaseDownIsAFailureNotAKnownNode) {
  archive_.AddNode("VIEWER", "127.0.0.1");
  EXPECT_FALSE(ConOpen(db_, "sqlite:/nonexistent-vantor-dir/archive.db", log_));

  EXPECT_EQ(Lookup("VIEWER", "127.0.0.1", /*flags_in=*/true),
            kNodeLookupFailed);
  EXPECT_TRUE(siemens_);
  EXPECT_TRUE(internal_id_);
  std::string log =
      ReadWholeFile(TestProgramDir() + "/Logs/ErrorVantor40102.log");
  EXPECT_NE(log.find("\tGetAET\r\n"), std::string::npos) << log;
}

TEST_P(GetAETTest, MissingNodeTableIsAFailure) {
  archive_.Exec("DROP TABLE tblDicomAETs");
  EXPECT_EQ(Lookup("VIEWER", "127.0.0.1"), kNodeLookupFailed);
}

}  // namespace
}  // namespace vantor::dicom
