#include "dicom/level_responses.h"

#include <utility>

namespace vantor::dicom {

std::optional<DatasetCollection> CollectResponses(const LevelQuery& query,
                                                  const RequestContext& context,
                                                  const Dataset& identifier) {
  DatasetCollection responses;
  const bool ok = query(context, identifier, [&](Dataset&& response) {
    responses.push_back(std::move(response));
    // Where a long result would yield to other work, it rather asks
    // whether anybody still waits for it.
    return !context.Cancelled();
  });
  if (!ok) return std::nullopt;
  return responses;
}

}  // namespace vantor::dicom
