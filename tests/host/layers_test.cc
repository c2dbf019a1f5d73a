// The floors of the source tree, checked on the sources themselves: the base
// floor includes nothing above it, and only the toolkit layer sees DCMTK.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace vantor {
namespace {

namespace fs = std::filesystem;

struct Include {
  std::string file;  // relative to the source folder
  std::string header;
};

// Every #include of the .h and .cc files under `folder`.
std::vector<Include> IncludesUnder(const std::string& folder) {
  const fs::path root(VANTOR_SOURCE_DIR);
  const std::regex include_line(R"re(^\s*#\s*include\s*[<"]([^>"]+)[>"])re");
  std::vector<Include> out;
  for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".h" && ext != ".cc")) continue;
    std::ifstream in(entry.path());
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
      if (std::regex_search(line, m, include_line))
        out.push_back({fs::relative(entry.path(), root).string(), m[1]});
  }
  return out;
}

std::vector<std::string> Offending(const std::vector<Include>& includes,
                                   const std::regex& forbidden) {
  std::vector<std::string> out;
  for (const Include& i : includes)
    if (std::regex_search(i.header, forbidden))
      out.push_back(i.file + " includes " + i.header);
  return out;
}

TEST(LayersTest, TheBaseFloorIncludesNothingAboveIt) {
  const std::vector<Include> includes = IncludesUnder("host/base");
  ASSERT_FALSE(includes.empty());
  EXPECT_THAT(
      Offending(includes,
                std::regex(R"(^(dicom|query|retrieve|net|archive|dcmtk)/|)"
                           R"(^host/(?!base/))")),
      ::testing::IsEmpty());
}

TEST(LayersTest, OnlyTheToolkitLayerSeesDcmtk) {
  for (const char* folder : {"host", "query", "retrieve", "net", "import"}) {
    SCOPED_TRACE(folder);
    EXPECT_THAT(Offending(IncludesUnder(folder), std::regex("^dcmtk/")),
                ::testing::IsEmpty());
  }
}

// The importer stands above reception and the toolkit layer; only the host
// wires it in, so nothing of the request front or the handlers reaches it.
TEST(LayersTest, OnlyTheHostIncludesTheImporter) {
  for (const char* folder : {"host/base", "dicom", "query", "retrieve", "net"}) {
    SCOPED_TRACE(folder);
    EXPECT_THAT(Offending(IncludesUnder(folder), std::regex("^import/")),
                ::testing::IsEmpty());
  }
}

}  // namespace
}  // namespace vantor
