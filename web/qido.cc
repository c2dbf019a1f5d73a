#include "web/qido.h"

#include <algorithm>
#include <limits>
#include <map>

#include "dicom/level_responses.h"
#include "dicom/toolkit/dicom_json.h"
#include "dicom/toolkit/tag_names.h"
#include "host/base/failure.h"
#include "web/http/media_type.h"

namespace vantor::web {
namespace {

struct Key {
  uint16_t group, element;
};

// What every answer at a level carries, asked for or not.
constexpr Key kStudyKeys[] = {
    {0x0008, 0x0020}, {0x0008, 0x0030}, {0x0008, 0x0050}, {0x0008, 0x0061},
    {0x0008, 0x0090}, {0x0008, 0x1030}, {0x0010, 0x0010}, {0x0010, 0x0020},
    {0x0010, 0x0030}, {0x0010, 0x0040}, {0x0020, 0x000D}, {0x0020, 0x0010},
    {0x0020, 0x1206}, {0x0020, 0x1208}};
constexpr Key kSeriesKeys[] = {{0x0008, 0x0060}, {0x0008, 0x103E},
                               {0x0020, 0x000D}, {0x0020, 0x000E},
                               {0x0020, 0x0011}, {0x0020, 0x1209}};
constexpr Key kInstanceKeys[] = {
    {0x0008, 0x0016}, {0x0008, 0x0018}, {0x0020, 0x000D}, {0x0020, 0x000E},
    {0x0020, 0x0013}, {0x0028, 0x0010}, {0x0028, 0x0011}, {0x0028, 0x0100},
    {0x0028, 0x0008}};

bool AcceptsJson(const std::string& accept) {
  for (const MediaType& range : ParseAccept(accept))
    if (MediaRangeMatches(range, "application/dicom+json") ||
        MediaRangeMatches(range, "application/json"))
      return true;
  return false;
}

constexpr size_t kUidsPerStatement = 200;
// The most results a search across studies gathers without a limit.
constexpr size_t kMostAcrossStudies = 10000;

// The rows of `sql_head` + "IN (...)" for the UIDs, a bounded number at a
// time; each row's first column names the result it completes.
template <typename Apply>
void ForUidRows(const WebCall& call, const std::string& sql_head,
                const std::vector<std::string>& uids, Apply&& apply) {
  for (size_t start = 0; start < uids.size(); start += kUidsPerStatement) {
    std::string sql = sql_head + " IN (";
    const size_t end = std::min(uids.size(), start + kUidsPerStatement);
    for (size_t i = start; i < end; ++i)
      sql += (i > start ? ", '" : "'") + SqlQuote(uids[i]) + "'";
    sql += ")";
    call.context.log.Debug("Execute: " + sql, "SearchQido");
    const ResultSet rs = call.context.db.Query(sql);
    for (size_t row = 0; row < rs.rows.size(); ++row) apply(rs, row);
  }
}

}  // namespace

void CompleteResultUids(const WebCall& call, const std::string& level,
                        dicom::DatasetCollection& rows) {
  if (level == "STUDY" || rows.empty()) return;
  const bool images = level == "IMAGE";
  const uint16_t own_element = images ? 0x0018 : 0x000E;
  const uint16_t own_group = images ? 0x0008 : 0x0020;
  std::map<std::string, size_t> wanted;
  std::vector<std::string> uids;
  for (size_t i = 0; i < rows.size(); ++i) {
    const dicom::Dataset& r = rows[i];
    const bool complete = !r.GetText(0x0020, 0x000D).empty() &&
                          (!images || (!r.GetText(0x0020, 0x000E).empty() &&
                                       !r.GetText(0x0008, 0x0016).empty()));
    const std::string uid = r.GetText(own_group, own_element);
    if (complete || uid.empty()) continue;
    if (wanted.emplace(uid, i).second) uids.push_back(uid);
  }
  if (uids.empty()) return;
  if (images) {
    ForUidRows(call,
               "SELECT i.ImageUID, i.SOPClassUID, se.SeriesUID, s.StudyUID "
               "FROM tblImages i JOIN tblSeries se ON se.SeriesID = "
               "i.FKeySeriesID JOIN tblStudies s ON s.StudyID = "
               "se.FKeyStudyID WHERE i.ImageUID",
               uids, [&](const ResultSet& rs, size_t row) {
                 auto it = wanted.find(rs.Get(row, "ImageUID").ToText());
                 if (it == wanted.end()) return;
                 dicom::Dataset& r = rows[it->second];
                 r.Put(0x0008, 0x0016, rs.Get(row, "SOPClassUID"));
                 r.Put(0x0020, 0x000E, rs.Get(row, "SeriesUID"));
                 r.Put(0x0020, 0x000D, rs.Get(row, "StudyUID"));
               });
  } else {
    ForUidRows(call,
               "SELECT se.SeriesUID, s.StudyUID FROM tblSeries se JOIN "
               "tblStudies s ON s.StudyID = se.FKeyStudyID WHERE se.SeriesUID",
               uids, [&](const ResultSet& rs, size_t row) {
                 auto it = wanted.find(rs.Get(row, "SeriesUID").ToText());
                 if (it == wanted.end()) return;
                 rows[it->second].Put(0x0020, 0x000D, rs.Get(row, "StudyUID"));
               });
  }
}

dicom::Dataset QidoIdentifier(const std::string& level, const Route& route,
                              const QidoQuery& query) {
  dicom::Dataset identifier;
  identifier.Put(0x0008, 0x0052, Value(level));
  auto defaults = [&](const auto& keys) {
    for (const Key& k : keys) identifier.Put(k.group, k.element, Value());
  };
  defaults(kStudyKeys);
  if (level != "STUDY") defaults(kSeriesKeys);
  if (level == "IMAGE") defaults(kInstanceKeys);
  for (const Tag& tag : query.include_fields)
    if (!identifier.Has(tag.group, tag.element))
      identifier.Put(tag.group, tag.element, Value());
  for (const auto& [tag, value] : query.matches)
    identifier.Put(tag.group, tag.element, Value(value));
  // The path's UIDs narrow the search whatever the parameters say.
  if (!route.study.empty()) identifier.Put(0x0020, 0x000D, Value(route.study));
  if (!route.series.empty())
    identifier.Put(0x0020, 0x000E, Value(route.series));
  return identifier;
}

void SearchQido(WebCall& call) {
  if (!AcceptsJson(call.request().Header("accept"))) {
    AnswerError(call.exchange, 406,
                "Search results are given as application/dicom+json only");
    return;
  }
  QidoQuery query;
  try {
    query = ParseQidoQuery(call.params, [](std::string_view name, Tag& tag) {
      return dicom::TagForName(name, tag.group, tag.element) &&
             !dicom::TagVr(tag.group, tag.element).empty() &&
             dicom::TagVr(tag.group, tag.element) != "SQ";
    });
  } catch (const Failure& failure) {
    AnswerError(call.exchange, 400, failure.what());
    return;
  }
  const Resource resource = call.route.resource;
  const std::string level = resource == Resource::kSearchStudies  ? "STUDY"
                            : resource == Resource::kSearchSeries ? "SERIES"
                                                                  : "IMAGE";
  const dicom::Dataset identifier = QidoIdentifier(level, call.route, query);
  const dicom::RequestServices& requests = call.services.requests;
  const auto& search = level == "STUDY"    ? requests.GetStudyData
                       : level == "SERIES" ? requests.GetSeriesData
                                           : requests.GetImageData;
  const size_t wanted_end =
      query.limit > 0 ? static_cast<size_t>(query.offset) + query.limit
                      : std::numeric_limits<size_t>::max();
  bool truncated = false;
  std::optional<dicom::DatasetCollection> found;
  if (level == "STUDY" || !identifier.GetText(0x0020, 0x000D).empty()) {
    found = dicom::CollectResponses(search, call.context, identifier);
  } else {
    // The series and instance levels search within a study: a search
    // across studies runs per study of the study level's matches.
    dicom::Dataset studies_identifier = QidoIdentifier("STUDY", call.route, query);
    std::optional<dicom::DatasetCollection> studies = dicom::CollectResponses(
        requests.GetStudyData, call.context, studies_identifier);
    if (studies) {
      found.emplace();
      for (const dicom::Dataset& study : *studies) {
        if (found->size() >= wanted_end) break;
        if (found->size() >= kMostAcrossStudies) {
          truncated = true;
          break;
        }
        dicom::Dataset within = identifier;
        within.Put(0x0020, 0x000D, Value(study.GetText(0x0020, 0x000D)));
        std::optional<dicom::DatasetCollection> part =
            dicom::CollectResponses(search, call.context, within);
        if (!part) {
          found.reset();
          break;
        }
        for (dicom::Dataset& d : *part) found->push_back(std::move(d));
      }
    }
  }
  if (!found) {
    // The level query has logged why.
    AnswerError(call.exchange, 500, "The search failed");
    return;
  }
  dicom::DatasetCollection& rows = *found;
  const size_t offset =
      std::min(rows.size(), static_cast<size_t>(query.offset));
  size_t end = std::min(rows.size(), wanted_end);
  if (offset > 0 || end < rows.size())
    rows = dicom::DatasetCollection(
        std::make_move_iterator(rows.begin() + offset),
        std::make_move_iterator(rows.begin() + end));
  CompleteResultUids(call, level, rows);
  HttpHeaders headers{{"Content-Type", "application/dicom+json"}};
  if (query.fuzzy)
    headers.emplace_back("Warning",
                         "299 Vantor: \"fuzzymatching is not supported; "
                         "literal matching was performed\"");
  if (truncated)
    headers.emplace_back("Warning",
                         "299 Vantor: \"The results were limited to " +
                             std::to_string(kMostAcrossStudies) +
                             "; narrow the search or page with limit and "
                             "offset\"");
  call.exchange.Respond(200, headers, dicom::DatasetsToJson(rows));
  call.context.log.Debug(std::to_string(rows.size()) +
                             " results sent to " + call.caller.Name(),
                         "SearchQido");
}

}  // namespace vantor::web
