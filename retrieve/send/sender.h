// The sender (vantor-send): carries out one C-MOVE job written by the
// service. It selects the job's images in the archive database named on the
// job's first line, finds each file in the archive or the mirror, sends them
// all on one association to the destination, writes the return file and
// removes the job file.
//
// Its log is Logs/SendVantor<port>.log in the program directory (the port
// from the job file's name); failures also go to the service's error log.
#ifndef VANTOR_RETRIEVE_SEND_SENDER_H_
#define VANTOR_RETRIEVE_SEND_SENDER_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/toolkit/store_client.h"
#include "host/base/database.h"
#include "retrieve/image_files.h"
#include "retrieve/move_job.h"

namespace vantor {

// The image files `selection` describes, in sending order: by ImageNr when
// the job asked for that order, else by study, series, ImageNr and UID.
// Throws when the statement fails.
std::vector<std::string> SelectJobImages(Database& db,
                                         const JobImageSelection& selection,
                                         const FileExists& exists);

// The same with what the rows tell of each file: its SOP class and transfer
// syntax when the view has both columns (SOPClassUID, TransferSyntaxUID)
// and the row fills them.
std::vector<dicom::StoreItem> SelectJobFiles(Database& db,
                                         const JobImageSelection& selection,
                                         const FileExists& exists);

// Makes SIGTERM ask the running job to stop (see RunSendJob).
void StopOnTerminationSignal();

// Whether SIGTERM has asked the job to stop.
bool SendStopRequested();

// A connection to the archive database opened before the job came (by a
// sender started ahead of its job).
struct ReadyDatabase {
  std::string db_server;  // the DBServer text it was opened with
  Database db;
};

// Carries out the job in the file `job_path`. Returns the exit code: 0 when
// every image was sent, 1 otherwise. `ready` (may be null) is used for the
// job's statements when it is open on the job's DBServer; when a statement
// fails on it (the server may have dropped it meanwhile), the job opens a
// connection of its own and runs them again there.
//
// A job file is one only when it is named Send<port>_<n>, holds the nine
// lines, names as its return file Return<port>_<n> in its own folder and
// its statement is one the service writes (StatementFault). A file without
// the name is left alone; otherwise the reason goes to the error log and,
// as Error=..., into the return file beside it. A file that does not hold
// nine lines or names another return file is left as it is; a job of ours
// whose statement is refused is removed, its statement in the error log.
//
// While it sends, the return file is rewritten once an image is done (and
// then not again for 10 ms) with the counts so far and Remaining=N. Once a stop is requested, the image on the
// wire is finished, the association aborted, and the final return file
// carries the counts so far, Remaining=<images not sent> and
// Error=Cancelled; the job file is removed.
int RunSendJob(const std::string& job_path, ReadyDatabase* ready = nullptr);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_SEND_SENDER_H_
