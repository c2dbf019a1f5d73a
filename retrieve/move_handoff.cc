#include "retrieve/move_handoff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/log.h"
#include "host/base/paths.h"
#include "query/match_keys.h"
#include "retrieve/detached_start.h"
#include "retrieve/retrieve_keys.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "ImagePrepareForSend";
constexpr char kTempFolder[] = "C:\\Temp";
// Job numbers tried before the hand-off gives up.
constexpr int32_t kMaxJobNumber = 1000000;

bool IsFolder(const std::string& fs_path) {
  struct stat st;
  return ::stat(fs_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates `fs_path` (one level) unless it is a folder already.
void EnsureFolder(const std::string& fs_path) {
  if (IsFolder(fs_path)) return;
  if (::mkdir(fs_path.c_str(), 0755) != 0 && errno != EEXIST)
    ThrowFileError(errno, fs_path);
}

const char* And(bool written) { return written ? " AND " : " "; }

}  // namespace

std::string MoveStatement(const dicom::Dataset& identifier, bool bSiemensBug,
                          bool bInternalID, std::string_view date_format,
                          bool* has_condition) {
  const std::string image = identifier.GetText(0x0008, 0x0018);
  std::string sql = image.empty() ? kSeriesBase : kImageBase;
  bool written = false;

  const std::string patient_id = identifier.PatientID();
  if (!patient_id.empty()) {
    if (bInternalID)
      sql += "PATID = " + std::to_string(InternalPatientKey(patient_id));
    else
      AppendQuoted(sql, "PATID1 = '", patient_id, "'");
    written = true;
  }

  const std::string name = identifier.PatientName();
  if (!name.empty()) {
    PreparedName parts = RetrievalName(name, bSiemensBug);
    if (!parts.last.empty()) {
      std::string last = AcuteApostrophes(parts.last);
      if (HasWildcard(last)) {
        AppendQuoted(sql, std::string(And(written)) + "PATNachname LIKE '",
                     last, written ? "' " : "'");
      } else {
        AppendQuoted(sql, std::string(And(written)) + "PATNachname = '", last,
                     "'");
      }
      written = true;
    }
    if (!parts.first.empty()) {
      AppendQuoted(sql, std::string(And(written)) + "PATVorname = '",
                   AcuteApostrophes(parts.first), "'");
      written = true;
    }
  }

  if (auto birth = ValidDate(identifier.Get(0x0010, 0x0030), date_format)) {
    AppendQuoted(sql, std::string(And(written)) + "PATGebDatum = '", *birth,
                 "'");
    written = true;
  }
  const std::string study = identifier.GetText(0x0020, 0x000D);
  if (!study.empty()) {
    AppendQuoted(sql, std::string(And(written)) + "StudyUID = '", study, "'");
    written = true;
  }
  const std::string series = identifier.GetText(0x0020, 0x000E);
  if (!series.empty()) {
    AppendQuoted(sql, std::string(And(written)) + "SeriesUID = '", series, "'");
    written = true;
  }
  // One date; a range or any other text goes in as received.
  Value study_date = identifier.Get(0x0008, 0x0020);
  if (!study_date.IsNull()) {
    std::optional<std::string> date = ValidDate(study_date, date_format);
    AppendQuoted(sql, std::string(And(written)) + "Studydate = '",
                 date ? *date : study_date.ToText(), "'");
    written = true;
  }
  if (!image.empty()) {
    AppendQuoted(sql, std::string(And(written)) + "ImageUID = '", image, "' ");
    written = true;
  }

  sql += kStatusCondition;
  if (!image.empty()) sql += kImageNrTail;
  if (has_condition) *has_condition = written;
  return sql;
}

std::string JobFileText(int32_t port, int32_t n) {
  return std::string(kTempFolder) + "\\Send" + std::to_string(port) + "_" +
         std::to_string(n);
}

std::string ReturnFileText(int32_t port, int32_t n) {
  return std::string(kTempFolder) + "\\Return" + std::to_string(port) + "_" +
         std::to_string(n);
}

void CreateJobFolder() {
  GuardVoid("BuildPathes", [] {
    const std::string dir = ToFsPath(kTempFolder);
    if (IsFolder(dir)) return;
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
      ThrowFileError(errno, "Job folder " + std::string(kTempFolder) + "\\ (" +
                                dir + ") cannot be created");
  });
}

int32_t CreateJobFile(const std::string& temp_dir, int32_t port,
                      const std::function<std::string(int32_t)>& contents) {
  for (int32_t n = 0; n < kMaxJobNumber; ++n) {
    std::string path =
        temp_dir + "/Send" + std::to_string(port) + "_" + std::to_string(n);
    int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      ThrowFileError(errno, path);
    }
    const std::string text = contents(n);
    if (const int err = WriteAll(fd, text.data(), text.size()); err != 0) {
      ::close(fd);
      ThrowFileError(err, path);
    }
    if (::close(fd) != 0) ThrowFileError(errno, path);
    return n;
  }
  throw Failure(kPathFileAccessError, "No free job number in " + temp_dir);
}

SendJob MoveSendJob(const dicom::RequestContext& context,
                    const dicom::Dataset& identifier,
                    const std::string& address, int32_t port,
                    const std::string& calling_aet) {
  const Config* config = context.config.get();
  bool has_condition = false;
  const std::string sql =
      MoveStatement(identifier, context.bSiemensBug, context.bInternalID,
                    config->DateFormat, &has_condition);
  context.log.Debug("DICOM-Operation: C-MOVE", "");
  context.log.Debug("SQL: " + sql, "");
  // Without any key the statement cannot run; the requester must not be
  // told that its images are on their way.
  if (!has_condition) {
    throw Failure(kInvalidProcedureCall,
                  "The C-MOVE identifier holds no key that selects images");
  }
  // A key with a line break or NUL would break the job file's lines; the
  // sender would refuse such a job, so it is not handed over.
  if (const std::string fault = StatementFault(sql); !fault.empty()) {
    throw Failure(
        kInvalidProcedureCall,
        "The C-MOVE identifier makes no job statement (" + fault + ")");
  }
  SendJob job;
  job.db_server = config->DBServer;
  job.statement = sql;
  job.internal_id = context.bInternalID;
  job.calling_aet = config->OwnAET;
  job.address = address;
  job.port = port;
  job.called_aet = calling_aet;
  return job;
}

std::string MoveWorkDirectory(const Config& config) {
  // The work directory is shared by every hand-off of this instance.
  const std::string work_dir = config.Unzip + std::to_string(config.DCM) + "\\";
  if (IsFolder(ToFsPath(work_dir)))
    DateienLoeschen(work_dir);
  else
    EnsureFolder(ToFsPath(work_dir));
  return work_dir;
}

int32_t WriteJobFile(SendJob& job, int32_t own_port) {
  const std::string temp_dir = ToFsPath(kTempFolder);
  EnsureFolder(temp_dir);
  const int32_t n = CreateJobFile(temp_dir, own_port, [&](int32_t number) {
    job.return_file = ReturnFileText(own_port, number);
    return FormatSendJob(job);
  });
  const std::string return_path = ToFsPath(ReturnFileText(own_port, n));
  if (::unlink(return_path.c_str()) != 0 && errno != ENOENT)
    ThrowFileError(errno, return_path);
  return n;
}

std::unique_ptr<dicom::MoveJob> ImagePrepareForSend(
    const dicom::RequestContext& context, const dicom::Dataset& identifier,
    const std::string& address, int32_t port, const std::string& calling_aet,
    SenderStarter* senders, const QueueMove& queue) {
  using Job = std::unique_ptr<dicom::MoveJob>;
  return Guard(context.log, kProcedure, Job(), [&]() -> Job {
    const Config* config = context.config.get();
    const int32_t own_port = config->DCM;
    if (queue) {
      // Any front's sender may carry it out; the lines of the sender's own
      // (work directory, return file) are written by the front that takes it.
      return queue(context,
                   MoveSendJob(context, identifier, address, port, calling_aet));
    }
    const std::string work_dir = MoveWorkDirectory(*config);
    SendJob job = MoveSendJob(context, identifier, address, port, calling_aet);
    job.work_directory = work_dir;
    const int32_t n = WriteJobFile(job, own_port);
    const std::string return_path = ToFsPath(ReturnFileText(own_port, n));

    const std::string program = InProgramDir("vantor-send");
    const std::string job_path = ToFsPath(JobFileText(own_port, n));
    if (senders == nullptr) {
      return std::make_unique<SenderMoveJob>(StartDetached(program, {job_path}),
                                             return_path);
    }
    // The next sender is started once this C-MOVE has been answered, so
    // that its start takes nothing from this job.
    const std::string db_server = config->DBServer;
    return std::make_unique<SenderMoveJob>(
        senders->Start(program, job_path), return_path,
        [senders, program, db_server] {
          senders->Prepare(program, db_server);
        });
  });
}

dicom::MoveProgress ProgressOf(std::string_view return_text) {
  dicom::MoveProgress progress;
  std::optional<SendOutcome> outcome = ParseReturnFile(return_text);
  if (!outcome) return progress;
  progress.reported = true;
  progress.counts.completed = outcome->completed;
  progress.counts.failed = outcome->failed;
  progress.counts.warning = outcome->warning;
  progress.remaining = outcome->remaining;
  progress.error = outcome->error;
  return progress;
}

std::string ReadReturnFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  // A return file is a few short lines; anything longer is not ours.
  std::string text;
  text.resize(4096);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

dicom::MoveProgress SenderMoveJob::Progress() {
  return ProgressOf(ReadReturnFile(return_path_));
}

SenderMoveJob::~SenderMoveJob() {
  if (after_) GuardWith([&] { after_(); }, [](const FailureInfo&) {});
}

void SenderMoveJob::Stop() {
  sender_.Terminate();
  sender_.WaitEnded(kStopSeconds);
}

}  // namespace vantor
