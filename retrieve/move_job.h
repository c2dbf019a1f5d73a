// The C-MOVE job between the service and the sender, both sides of it in
// one place: the job file the hand-off writes (nine lines of text, each
// ended by CR LF, in a file "C:\Temp\Send<port>_<n>"), the return file the
// sender answers with, and how the service starts a sender ahead of its job.
#ifndef VANTOR_RETRIEVE_MOVE_JOB_H_
#define VANTOR_RETRIEVE_MOVE_JOB_H_

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
  // 10, only when not 0: "Skip=N", the images of the selection already
  // sent by a sender before (a job taken over from a front that stopped);
  // they are left out.
  int skip = 0;
};

// The job file text: the nine lines (ten with a skip), each ended by CR LF.
std::string FormatSendJob(const SendJob& job);

// Reads a job file text; a line may end in CR LF or LF alone. Empty when the
// text does not hold exactly nine lines, or ten whose last is "Skip=N" (a
// CR LF after the last is its end, nothing may follow), line 4 is neither
// "-1" nor "0" or line 8 is no port number (1 to 65535).
std::optional<SendJob> ParseSendJob(std::string_view text);

// The service's port and the job number from a job file's name
// ("Send104_0", with or without folders); empty for another name.
std::optional<std::pair<int32_t, int32_t>> JobFileNumbers(
    std::string_view path);

// Whether `name` (no folders) is "Return<port>_<n>" for these numbers, as
// the service names the return file of job n.
bool IsReturnFileName(std::string_view name, int32_t port, int32_t n);

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

// Why `statement` is not one the service writes; "" when it is one. The
// grammar is the one MoveStatement writes: a base, then conditions joined
// by AND in their fixed order, each column at most once:
//   PATID = <whole number>   or   PATID1 (= | LIKE) '<literal>'
//   PATNachname, PATVorname, PATGebDatum, StudyUID, SeriesUID, Studydate,
//   ImageUID (= | LIKE) '<literal>'
// then the status condition, and ", ImageNr" exactly when the base is the
// image view, which in turn is used exactly when there is an ImageUID
// condition. A literal holds any text but a lone apostrophe (doubled ones
// stand for one), so nothing inside it can end it; blanks between the parts
// are free. NUL, CR and LF are refused anywhere.
std::string StatementFault(std::string_view statement);

// The statement the sender runs for a job: the job's own conditions on the
// image view, so that a series-level job sends exactly the images the
// conditions select rather than whole folders. `order_by_image_nr` tells
// whether the job asked for the ", ImageNr" order. Empty when the statement
// is not one the service writes (StatementFault tells why).
struct JobImageSelection {
  std::string sql;
  bool order_by_image_nr = false;
};
std::optional<JobImageSelection> JobImageStatement(std::string_view statement);

// What a job came to, as the return file reports it.
struct SendOutcome {
  int completed = 0;
  int failed = 0;
  int warning = 0;
  int remaining = 0;  // images still to send (while the job runs)
  std::string error;  // why the job as a whole failed ("" when it did not)
};

// The return file text: "Completed=N", "Failed=N", "Warning=N", while
// images are still to be sent "Remaining=N", and, when the job failed as a
// whole, "Error=text", each line ended by CR LF. The sender rewrites the
// file as it goes, so that whoever waits for the job can follow it.
std::string ReturnFileContents(const SendOutcome& outcome);

// Reads a return file text back; nullopt when it is not one (no
// "Completed=" line, or a count that is not a whole number). Unknown lines
// are ignored.
std::optional<SendOutcome> ParseReturnFile(std::string_view text);

// The Error text of a job that was stopped (the C-MOVE was cancelled).
inline constexpr char kCancelledError[] = "Cancelled";

// How the service starts a sender ahead: `vantor-send --standby`.
inline constexpr char kStandbyArgument[] = "--standby";

// Only a sender program that holds this text is started ahead: a site's
// own sender in its place (a script, say) knows nothing of --standby and
// is started for each job with the job file alone, as always.
inline constexpr char kStandbyMarker[] = "vantor-send: standby protocol 1";

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_MOVE_JOB_H_
