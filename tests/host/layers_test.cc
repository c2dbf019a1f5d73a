// The floors of the source tree, checked on the sources themselves: one
// table says, for each folder of the product, which of our folders its
// files may include and whether they may see DCMTK; one test walks every
// .h and .cc and names each include the table does not allow.
//
// The table keeps the rules of the floors: the base floor includes nothing
// of ours above it; only the toolkit floor (dicom/toolkit/) sees DCMTK, and
// it stands on the base floor alone; the front of dicom/ stands on the
// toolkit floor and sees no DCMTK; only the host includes the importer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace vantor {
namespace {

namespace fs = std::filesystem;

struct Floor {
  std::string folder;                 // its files directly in it
  std::set<std::string> may_include;  // our folders whose headers it uses
  bool sees_dcmtk = false;
};

// Every folder of the product, and what its files may include. A file
// belongs to the deepest folder named here that holds it directly.
const std::vector<Floor>& Floors() {
  static const std::vector<Floor> floors = {
      {"host/base", {"host/base"}},
      {"archive", {"host/base"}},
      // The DCMTK adapter, the toolkit floor.
      {"dicom/toolkit", {"host/base", "dicom/toolkit"}, /*sees_dcmtk=*/true},
      // The front: the dispatcher, the events, the node registry.
      {"dicom", {"host/base", "dicom/toolkit", "dicom"}},
      {"net", {"host/base", "net"}},
      {"query", {"host/base", "dicom/toolkit", "dicom", "query"}},
      // Reception: the incoming files, their group commit, the disk check.
      {"retrieve/store",
       {"host/base", "dicom/toolkit", "dicom", "retrieve/store"}},
      // The C-GET, the C-MOVE hand-off, the job protocol, commitment.
      {"retrieve",
       {"host/base", "dicom/toolkit", "dicom", "query", "retrieve",
        "retrieve/store", "jobs"}},
      // The separate sender program.
      {"retrieve/send",
       {"host/base", "dicom/toolkit", "dicom", "retrieve", "retrieve/send"}},
      // The queue of work in the archive database.
      {"jobs", {"host/base", "jobs"}},
      // The importer, which claims queued images from the job queue.
      {"import",
       {"host/base", "archive", "dicom/toolkit", "dicom", "retrieve",
        "retrieve/store", "jobs", "import"}},
      // The web port's HTTP floor: Boost.Beast and the body parsers.
      {"web/http", {"host/base", "web/http"}},
      // DICOMweb: the routes, the callers' admission, QIDO, WADO, STOW.
      {"web",
       {"host/base", "dicom/toolkit", "dicom", "query", "retrieve",
        "retrieve/store", "web/http", "web"}},
      // The audit trail: the messages, their transport and queue.
      {"audit", {"host/base", "audit"}},
      {"host",
       {"host/base", "host", "dicom/toolkit", "dicom", "query", "retrieve",
        "retrieve/store", "retrieve/send", "net", "import", "jobs", "web", "audit"}},
  };
  return floors;
}

const Floor* FloorOf(const std::string& folder) {
  for (const Floor& floor : Floors())
    if (floor.folder == folder) return &floor;
  return nullptr;
}

// The folder of an include of ours ("retrieve/store/x.h" gives
// "retrieve/store"); "" for a header that is not ours.
std::string FolderOfHeader(const std::string& header) {
  const size_t slash = header.rfind('/');
  if (slash == std::string::npos) return "";
  const std::string folder = header.substr(0, slash);
  return FloorOf(folder) != nullptr ? folder : "";
}

// What is wrong with `file` (in `floor`) including `header`; "" when
// nothing is.
std::string Fault(const Floor& floor, const std::string& header) {
  if (header.rfind("dcmtk/", 0) == 0)
    return floor.sees_dcmtk ? "" : "DCMTK outside the toolkit layer";
  // The HTTP library stays on the web port's HTTP floor.
  if (header.rfind("boost/", 0) == 0)
    return floor.folder == "web/http" ? "" : "Boost outside the HTTP floor";
  const std::string folder = FolderOfHeader(header);
  if (folder.empty()) {
    // A path of ours in a folder the table does not know.
    const std::string top = header.substr(0, header.find('/'));
    for (const Floor& f : Floors())
      if (f.folder.substr(0, f.folder.find('/')) == top)
        return "a folder the table does not know";
    return "";
  }
  return floor.may_include.count(folder) ? "" : "an edge the floors forbid";
}

struct Include {
  std::string file;  // relative to the source folder
  std::string header;
};

std::vector<Include> ProductIncludes() {
  const fs::path root(VANTOR_SOURCE_DIR);
  const std::regex include_line(R"re(^\s*#\s*include\s*[<"]([^>"]+)[>"])re");
  std::vector<Include> out;
  std::set<std::string> tops;
  for (const Floor& floor : Floors())
    tops.insert(floor.folder.substr(0, floor.folder.find('/')));
  for (const std::string& top : tops) {
    for (const auto& entry : fs::recursive_directory_iterator(root / top)) {
      const std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".h" && ext != ".cc")) continue;
      std::ifstream in(entry.path());
      std::string line;
      std::smatch m;
      while (std::getline(in, line))
        if (std::regex_search(line, m, include_line))
          out.push_back({fs::relative(entry.path(), root).string(), m[1]});
    }
  }
  return out;
}

// The floor rules on their own, so that the table cannot quietly widen them.
TEST(LayersTest, TheTableKeepsTheRulesOfTheFloors) {
  const Floor* base = FloorOf("host/base");
  ASSERT_NE(base, nullptr);
  EXPECT_THAT(base->may_include, ::testing::ElementsAre("host/base"));
  EXPECT_FALSE(base->sees_dcmtk);
  const Floor* toolkit = FloorOf("dicom/toolkit");
  ASSERT_NE(toolkit, nullptr);
  EXPECT_THAT(toolkit->may_include,
              ::testing::UnorderedElementsAre("host/base", "dicom/toolkit"));
  const Floor* front = FloorOf("dicom");
  ASSERT_NE(front, nullptr);
  EXPECT_THAT(front->may_include, ::testing::UnorderedElementsAre(
                                      "host/base", "dicom/toolkit", "dicom"));
  for (const Floor& floor : Floors()) {
    SCOPED_TRACE(floor.folder);
    EXPECT_EQ(floor.sees_dcmtk, floor.folder == "dicom/toolkit");
    if (floor.folder != "host" && floor.folder != "import") {
      EXPECT_EQ(floor.may_include.count("import"), 0u);
    }
  }
}

TEST(LayersTest, EveryIncludeIsAnEdgeTheTableAllows) {
  const std::vector<Include> includes = ProductIncludes();
  ASSERT_GT(includes.size(), 100u);
  std::vector<std::string> faults;
  std::set<std::string> folders_seen;
  for (const Include& i : includes) {
    const std::string folder = fs::path(i.file).parent_path().string();
    const Floor* floor = FloorOf(folder);
    if (floor == nullptr) {
      faults.push_back(i.file + ": in a folder the table does not know");
      continue;
    }
    folders_seen.insert(folder);
    const std::string fault = Fault(*floor, i.header);
    if (!fault.empty())
      faults.push_back(i.file + " includes " + i.header + ": " + fault);
  }
  EXPECT_THAT(faults, ::testing::IsEmpty());
  // Every row of the table stands for files that are there.
  for (const Floor& floor : Floors())
    EXPECT_TRUE(folders_seen.count(floor.folder)) << floor.folder;
}

// The check itself, on includes made up for it.
TEST(LayersTest, TheCheckNamesForbiddenEdges) {
  struct Case {
    const char* folder;
    const char* header;
    bool allowed;
  };
  const Case cases[] = {
      {"host/base", "host/base/failure.h", true},
      {"host/base", "dicom/toolkit/toolkit.h", false},
      {"host/base", "host/service.h", false},
      {"host/base", "dcmtk/dcmdata/dctk.h", false},
      {"host/base", "sys/stat.h", true},
      {"dicom/toolkit", "dcmtk/dcmnet/assoc.h", true},
      {"dicom/toolkit", "retrieve/move_job.h", false},
      {"dicom/toolkit", "dicom/dispatcher.h", false},
      {"dicom", "dcmtk/dcmnet/assoc.h", false},
      {"web/http", "boost/beast/http.hpp", true},
      {"web", "boost/beast/http.hpp", false},
      {"web", "web/http/server.h", true},
      {"web/http", "web/qido.h", false},
      {"web", "import/importer.h", false},
      {"dicom", "dicom/toolkit/toolkit.h", true},
      {"query", "dicom/toolkit/toolkit.h", true},
      {"query", "dcmtk/dcmdata/dctk.h", false},
      {"retrieve", "import/importer.h", false},
      {"retrieve", "retrieve/send/sender.h", false},
      {"retrieve/store", "query/match_keys.h", false},
      {"retrieve/send", "retrieve/move_job.h", true},
      {"import", "retrieve/store/incoming_files.h", true},
      {"host", "import/importer.h", true},
      {"net", "retrieve/unknown_wing/x.h", false},
      {"web/http", "host/base/text.h", true},
      {"web/http", "web/qido_params.h", false},
      {"web/http", "dicom/toolkit/toolkit.h", false},
      {"web", "web/http/query_string.h", true},
      // The audit trail stands on the base floor; the front and the web
      // port reach it through host/base/audit_record.h only.
      {"audit", "host/base/audit_record.h", true},
      {"audit", "dicom/toolkit/toolkit.h", false},
      {"audit", "net/tls.h", false},
      {"dicom", "audit/audit_trail.h", false},
      {"web", "audit/audit_trail.h", false},
      {"host", "audit/audit_trail.h", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + " -> " + c.header);
    const Floor* floor = FloorOf(c.folder);
    ASSERT_NE(floor, nullptr);
    EXPECT_EQ(Fault(*floor, c.header).empty(), c.allowed);
  }
}

}  // namespace
}  // namespace vantor
