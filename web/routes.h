// The web port's paths: which resource a request names, with its UIDs
// checked. Everything lives under /dicom-web.
#ifndef VANTOR_WEB_ROUTES_H_
#define VANTOR_WEB_ROUTES_H_

#include <string>
#include <string_view>
#include <vector>

namespace vantor::web {

inline constexpr std::string_view kBasePath = "/dicom-web";

enum class Resource {
  kSearchStudies,    // GET /studies
  kSearchSeries,     // GET /series, /studies/{s}/series
  kSearchInstances,  // GET /instances, /studies/{s}/instances,
                     //     /studies/{s}/series/{se}/instances
  kRetrieve,         // GET /studies/{s}[/series/{se}[/instances/{i}]]
  kMetadata,         // ... /metadata
  kFrames,           // GET .../instances/{i}/frames/{list}
  kRendered,         // ... /rendered, .../frames/{list}/rendered
  kThumbnail,        // ... /thumbnail
  kBulkData,         // GET .../instances/{i}/bulk/{tag}[/{item}/{tag}...]
  kStore,            // POST /studies, /studies/{s}
  kWadoUri,          // GET /wado?requestType=WADO&...
};

struct Route {
  Resource resource = Resource::kSearchStudies;
  std::string study;
  std::string series;
  std::string instance;
  std::vector<int> frames;  // from 1, for kFrames and frame renderings
  // For kBulkData: "GGGGEEEE", or a path into a sequence
  // "GGGGEEEE/<item>/GGGGEEEE".
  std::string bulk_tag;
  // The resource reads the archive (everything but kStore).
  bool reads() const { return resource != Resource::kStore; }
};

// What a path that names no resource gets: the HTTP status (400 for a bad
// UID or frame list, 404 for an unknown path, 405 for a method the
// resource does not take) and the reason.
struct RouteError {
  int status = 0;
  std::string reason;
};

// True for a UID: 1 to 64 characters, digits and dots, no empty component.
bool IsUid(std::string_view text);

// A frame list "1,3,5": numbers from 1, at most 10000 of them.
bool ParseFrameList(std::string_view text, std::vector<int>& frames);

// The route of `method` and `path` (not yet percent-decoded); false with
// `error` filled when there is none.
bool ParseRoute(std::string_view method, std::string_view path, Route& route,
                RouteError& error);

}  // namespace vantor::web

#endif  // VANTOR_WEB_ROUTES_H_
