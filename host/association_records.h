// The association record folder Associations/<DCM>: one file per
// association, named by its connection number. It is emptied at start-up and
// pruned while the service runs, so that a busy service does not fill it
// with millions of files.
#ifndef VANTOR_HOST_ASSOCIATION_RECORDS_H_
#define VANTOR_HOST_ASSOCIATION_RECORDS_H_

#include <chrono>
#include <cstddef>
#include <string>

namespace vantor {

// The service keeps the records of the last day or the last 10,000
// associations, whichever are more.
inline constexpr size_t kKeepNewestRecords = 10000;
inline constexpr std::chrono::seconds kKeepRecordAge = std::chrono::hours(24);

// Removes from `folder` the record files (regular files named by decimal
// digits only) that are neither among the `keep_newest` newest (by time of
// last change) nor changed less than `keep_age` before `now`; other files are
// left alone. Returns the number removed. A folder with no more than
// `keep_newest` names is only listed; otherwise each record is examined once
// and the newest found without sorting them all. Throws a Failure when the
// folder cannot be read.
size_t PruneAssociationRecords(const std::string& folder, size_t keep_newest,
                               std::chrono::seconds keep_age,
                               std::chrono::system_clock::time_point now);

// The service's pass over Associations/<DCM> with the bounds above; writes
// the number removed to the debug log. Failures go to the error log under
// "PruneAssociationRecords".
void PruneAssociationFolder() noexcept;

}  // namespace vantor

#endif  // VANTOR_HOST_ASSOCIATION_RECORDS_H_
