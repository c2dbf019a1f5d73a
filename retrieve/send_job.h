// The send job that a C-MOVE hands to the sender: nine lines of text, each
// ended by CR LF, in a file "C:\Temp\Send<port>_<n>".
#ifndef VANTOR_RETRIEVE_SEND_JOB_H_
#define VANTOR_RETRIEVE_SEND_JOB_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

struct SendJob {
  std::string db_server;       // 1: the DBServer setting, as stored
  std::string statement;       // 2: the selection statement
  std::string work_directory;  // 3: ends in "\"
  bool internal_id = false;    // 4: "-1" true, "0" false
  std::string return_file;     // 5
  std::string calling_aet;     // 6: the service's own AE title
  std::string address;         // 7: the destination's IP address
  int32_t port = 0;            // 8
  std::string called_aet;      // 9: the destination's AE title
};

// The job file text: the nine lines, each ended by CR LF.
std::string FormatSendJob(const SendJob& job);

// Reads a job file text; a line may end in CR LF or LF alone. Empty when the
// text does not hold nine lines or line 8 is no port number.
std::optional<SendJob> ParseSendJob(std::string_view text);

// The service's port and the job number from a job file's name
// ("Send104_0", with or without folders); empty for another name.
std::optional<std::pair<int32_t, int32_t>> JobFileNumbers(
    std::string_view path);

// The two bases a job's statement starts with: images of one SOP instance,
// or the series folders of everything else.
inline constexpr char kImageBase[] = "SELECT * FROM view_images WHERE ";
inline constexpr char kSeriesBase[] =
    "SELECT DISTINCT ArchivePath, ArchiveUNC, MirrorPath, MirrorUNC, "
    "StudyDirectory1 FROM VIEW_Series WHERE ";
// Every job statement's last condition.
inline constexpr char kStatusCondition[] =
    " AND (FKeyStatusID > -1 Or FKeyStatusID Is Null)";
// What a SOP-instance statement carries after its conditions: the order of
// the images, not SQL.
inline constexpr char kImageNrTail[] = ", ImageNr";

// The statement the sender runs for a job: the job's own conditions on the
// image view, so that a series-level job sends exactly the images the
// conditions select rather than whole folders. `order_by_image_nr` tells
// whether the job asked for the ", ImageNr" order. Empty when the statement
// is not one the service writes (another base, or no status condition at
// its end).
struct JobImageSelection {
  std::string sql;
  bool order_by_image_nr = false;
};
std::optional<JobImageSelection> JobImageStatement(std::string_view statement);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_SEND_JOB_H_
