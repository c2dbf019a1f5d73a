// The responses of a C-FIND level query as its rows are read: the sink each
// response is handed to, the level query that feeds it, and the collecting
// form for callers that need every response at once.
#ifndef VANTOR_DICOM_LEVEL_RESPONSES_H_
#define VANTOR_DICOM_LEVEL_RESPONSES_H_

#include <functional>
#include <optional>

#include "dicom/request_context.h"
#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

// Takes one response, in row order, as soon as its row is read; returns
// false when no more are wanted (the requester cancelled or went away), and
// the level query stops reading then. The response is the sink's to keep
// or drop.
using ResponseSink = std::function<bool(Dataset&& response)>;

// A level query: hands one response per matching row to `sink`; false when
// it failed (it has logged the failure itself), even after responses went
// to the sink.
using LevelQuery =
    std::function<bool(const RequestContext& context, const Dataset& identifier,
                       const ResponseSink& sink)>;

// Every response of `query` in row order. Reading stops early once the
// requester no longer waits (`context.cancelled`), keeping what was read.
// No collection when the query failed.
std::optional<DatasetCollection> CollectResponses(const LevelQuery& query,
                                                  const RequestContext& context,
                                                  const Dataset& identifier);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_LEVEL_RESPONSES_H_
