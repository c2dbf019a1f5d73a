#include "web/routes.h"

#include <cstdlib>

#include "host/base/failure.h"
#include "web/http/query_string.h"

namespace vantor::web {
namespace {

std::vector<std::string> Segments(std::string_view path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) out.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

bool Fail(RouteError& error, int status, std::string reason) {
  error.status = status;
  error.reason = std::move(reason);
  return false;
}

}  // namespace

bool IsUid(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  if (text.front() == '.' || text.back() == '.') return false;
  char previous = 0;
  for (char c : text) {
    if (c == '.' && previous == '.') return false;
    if (c != '.' && (c < '0' || c > '9')) return false;
    previous = c;
  }
  return true;
}

bool ParseFrameList(std::string_view text, std::vector<int>& frames) {
  frames.clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view item = text.substr(start, end - start);
    if (item.empty() || item.size() > 9) return false;
    int n = 0;
    for (char c : item) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + (c - '0');
    }
    if (n < 1 || frames.size() >= 10000) return false;
    frames.push_back(n);
    if (end == text.size()) break;
    start = end + 1;
  }
  return !frames.empty();
}

bool ParseRoute(std::string_view method, std::string_view path, Route& route,
                RouteError& error) {
  if (path.substr(0, kBasePath.size()) != kBasePath ||
      (path.size() > kBasePath.size() && path[kBasePath.size()] != '/'))
    return Fail(error, 404, "Not a DICOMweb path");
  std::vector<std::string> raw = Segments(path.substr(kBasePath.size()));
  std::vector<std::string> seg;
  try {
    for (const std::string& s : raw) seg.push_back(PercentDecodePath(s));
  } catch (const Failure&) {
    return Fail(error, 400, "Bad percent escape in the path");
  }
  route = Route{};
  const bool get = method == "GET";
  const bool post = method == "POST";
  auto uid = [&](size_t i, std::string& into, const char* what) {
    if (!IsUid(seg[i]))
      return Fail(error, 400, std::string("Invalid ") + what + " UID");
    into = seg[i];
    return true;
  };
  auto only = [&](bool allowed, Resource resource) {
    if (!allowed)
      return Fail(error, 405, "Method " + std::string(method) +
                                  " not allowed here");
    route.resource = resource;
    return true;
  };
  const size_t n = seg.size();
  if (n == 0) return Fail(error, 404, "No resource named");
  if (seg[0] == "wado" && n == 1) return only(get, Resource::kWadoUri);
  if (seg[0] == "series" && n == 1) return only(get, Resource::kSearchSeries);
  if (seg[0] == "instances" && n == 1)
    return only(get, Resource::kSearchInstances);
  if (seg[0] != "studies") return Fail(error, 404, "Unknown resource");
  if (n == 1) {
    if (post) return only(true, Resource::kStore);
    return only(get, Resource::kSearchStudies);
  }
  if (!uid(1, route.study, "study")) return false;
  if (n == 2) {
    if (post) return only(true, Resource::kStore);
    return only(get, Resource::kRetrieve);
  }
  // From here on, only reads.
  const std::string& s2 = seg[2];
  if (n == 3 && s2 == "metadata") return only(get, Resource::kMetadata);
  if (n == 3 && s2 == "rendered") return only(get, Resource::kRendered);
  if (n == 3 && s2 == "thumbnail") return only(get, Resource::kThumbnail);
  if (n == 3 && s2 == "series") return only(get, Resource::kSearchSeries);
  if (n == 3 && s2 == "instances")
    return only(get, Resource::kSearchInstances);
  if (s2 != "series") return Fail(error, 404, "Unknown resource");
  if (!uid(3, route.series, "series")) return false;
  if (n == 4) return only(get, Resource::kRetrieve);
  const std::string& s4 = seg[4];
  if (n == 5 && s4 == "metadata") return only(get, Resource::kMetadata);
  if (n == 5 && s4 == "rendered") return only(get, Resource::kRendered);
  if (n == 5 && s4 == "thumbnail") return only(get, Resource::kThumbnail);
  if (n == 5 && s4 == "instances")
    return only(get, Resource::kSearchInstances);
  if (s4 != "instances") return Fail(error, 404, "Unknown resource");
  if (!uid(5, route.instance, "instance")) return false;
  if (n == 6) return only(get, Resource::kRetrieve);
  const std::string& s6 = seg[6];
  if (n == 7 && s6 == "metadata") return only(get, Resource::kMetadata);
  if (n == 7 && s6 == "rendered") return only(get, Resource::kRendered);
  if (n == 7 && s6 == "thumbnail") return only(get, Resource::kThumbnail);
  if (s6 == "bulk" && n >= 8 && (n - 8) % 2 == 0) {
    // A tag, or a path into a sequence: tag/item/tag/...
    for (size_t i = 7; i < n; ++i) {
      const std::string& piece = seg[i];
      const bool tag_place = (i - 7) % 2 == 0;
      const bool ok =
          tag_place ? piece.size() == 8 &&
                          piece.find_first_not_of("0123456789abcdefABCDEF") ==
                              std::string::npos
                    : !piece.empty() && piece.size() <= 6 &&
                          piece.find_first_not_of("0123456789") ==
                              std::string::npos;
      if (!ok) return Fail(error, 400, "Invalid bulk data path");
      route.bulk_tag += (i > 7 ? "/" : "") + piece;
    }
    return only(get, Resource::kBulkData);
  }
  if (s6 != "frames" || n < 8 || n > 9)
    return Fail(error, 404, "Unknown resource");
  if (!ParseFrameList(seg[7], route.frames))
    return Fail(error, 400, "Invalid frame list");
  if (n == 8) return only(get, Resource::kFrames);
  if (seg[8] == "rendered") return only(get, Resource::kRendered);
  if (seg[8] == "thumbnail") return only(get, Resource::kThumbnail);
  return Fail(error, 404, "Unknown resource");
}

}  // namespace vantor::web
