// Which resource a path names, and which paths name none: the UIDs of a
// path are checked before anything reads the archive with them.
#include "web/routes.h"

#include <gtest/gtest.h>

namespace vantor::web {
namespace {

struct Case {
  const char* method;
  const char* path;
  int status;  // 0: a route
  Resource resource = Resource::kSearchStudies;
};

TEST(RoutesTest, NamesEveryResource) {
  const Case cases[] = {
      {"GET", "/dicom-web/studies", 0, Resource::kSearchStudies},
      {"GET", "/dicom-web/studies/", 0, Resource::kSearchStudies},
      {"GET", "/dicom-web/series", 0, Resource::kSearchSeries},
      {"GET", "/dicom-web/instances", 0, Resource::kSearchInstances},
      {"GET", "/dicom-web/studies/1.2/series", 0, Resource::kSearchSeries},
      {"GET", "/dicom-web/studies/1.2/instances", 0, Resource::kSearchInstances},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances", 0,
       Resource::kSearchInstances},
      {"GET", "/dicom-web/studies/1.2", 0, Resource::kRetrieve},
      {"GET", "/dicom-web/studies/1.2/series/1.3", 0, Resource::kRetrieve},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4", 0,
       Resource::kRetrieve},
      {"GET", "/dicom-web/studies/1.2/metadata", 0, Resource::kMetadata},
      {"GET", "/dicom-web/studies/1.2/series/1.3/metadata", 0,
       Resource::kMetadata},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/metadata", 0,
       Resource::kMetadata},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/frames/1,2", 0,
       Resource::kFrames},
      {"GET",
       "/dicom-web/studies/1.2/series/1.3/instances/1.4/frames/2/rendered", 0,
       Resource::kRendered},
      {"GET", "/dicom-web/studies/1.2/thumbnail", 0, Resource::kThumbnail},
      {"GET", "/dicom-web/studies/1.2/series/1.3/rendered", 0,
       Resource::kRendered},
      {"POST", "/dicom-web/studies", 0, Resource::kStore},
      {"POST", "/dicom-web/studies/1.2", 0, Resource::kStore},
      {"GET", "/dicom-web/wado", 0, Resource::kWadoUri},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/bulk/7FE00010", 0,
       Resource::kBulkData},
      {"GET",
       "/dicom-web/studies/1.2/series/1.3/instances/1.4/bulk/00880200/0/7FE00010",
       0, Resource::kBulkData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Route route;
    RouteError error;
    ASSERT_TRUE(ParseRoute(c.method, c.path, route, error)) << error.reason;
    EXPECT_EQ(route.resource, c.resource);
  }
  Route route;
  RouteError error;
  ASSERT_TRUE(ParseRoute(
      "GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/frames/3,1",
      route, error));
  EXPECT_EQ(route.study, "1.2");
  EXPECT_EQ(route.series, "1.3");
  EXPECT_EQ(route.instance, "1.4");
  EXPECT_EQ(route.frames, (std::vector<int>{3, 1}));
}

TEST(RoutesTest, RefusesBadUidsUnknownPathsAndWrongMethods) {
  const Case cases[] = {
      {"GET", "/dicom-web/studies/..%2F..%2Fetc/metadata", 400},
      {"GET", "/dicom-web/studies/../series", 400},
      {"GET", "/dicom-web/studies/1.2'--/series", 400},
      {"GET", "/dicom-web/studies/1..2", 400},
      {"GET", "/dicom-web/studies/.1.2", 400},
      {"GET", "/dicom-web/studies/1.2%", 400},
      {"GET", "/dicom-web/studies/12345678901234567890123456789012345678901234"
              "567890123456789012345", 400},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/frames/0", 400},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/frames/1,,2", 400},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/frames/x", 400},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/bulk/7FE0", 400},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/bulk/00880200/x/7FE00010", 400},
      {"GET", "/dicom-web/studies/1.2/series/1.3/instances/1.4/bulk/00880200/0", 404},
      {"GET", "/dicom-web", 404},
      {"GET", "/dicom-webstudies", 404},
      {"GET", "/other/studies", 404},
      {"GET", "/dicom-web/patients", 404},
      {"GET", "/dicom-web/studies/1.2/other", 404},
      {"DELETE", "/dicom-web/studies/1.2", 405},
      {"POST", "/dicom-web/studies/1.2/metadata", 405},
      {"PUT", "/dicom-web/studies", 405},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    Route route;
    RouteError error;
    EXPECT_FALSE(ParseRoute(c.method, c.path, route, error));
    EXPECT_EQ(error.status, c.status) << error.reason;
    EXPECT_FALSE(error.reason.empty());
  }
}

TEST(RoutesTest, UidsAreDigitsAndSingleDots) {
  EXPECT_TRUE(IsUid("1"));
  EXPECT_TRUE(IsUid("1.2.840.10008.5.1.4.1.1.2"));
  EXPECT_TRUE(IsUid(std::string(64, '1')));
  EXPECT_FALSE(IsUid(std::string(65, '1')));
  EXPECT_FALSE(IsUid(""));
  EXPECT_FALSE(IsUid("1.2."));
  EXPECT_FALSE(IsUid("1.2 "));
  EXPECT_FALSE(IsUid("1.2/3"));
}

}  // namespace
}  // namespace vantor::web
