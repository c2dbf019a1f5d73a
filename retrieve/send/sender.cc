#include "retrieve/send/sender.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdio>
#include <filesystem>

#include "dicom/toolkit/store_client.h"
#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/log.h"
#include "host/base/numeric.h"
#include "host/base/paths.h"
#include "retrieve/send/destination_tls.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "SendJob";
// The return file is rewritten with the counts so far at most this often
// while images go out (the service looks at it every 20 ms): on a fast
// link, a new file per image would cost more than the image.
constexpr auto kProgressInterval = std::chrono::milliseconds(10);
// A job file is a few hundred bytes; anything much larger is not one.
constexpr off_t kMaxJobFileBytes = 1 << 20;

struct JobImage {
  std::string study_uid;
  std::string series_uid;
  Value image_nr;
  std::string image_uid;
  std::string file;
  std::string sop_class;
  std::string transfer_syntax;
};

// Image numbers in order, images without one first.
bool ImageNrBefore(const Value& a, const Value& b) {
  if (a.IsNull() || b.IsNull()) return a.IsNull() && !b.IsNull();
  if (a.IsInteger() && b.IsInteger()) return a.integer() < b.integer();
  return a.ToText() < b.ToText();
}

class SendLog {
 public:
  // `port`: the service's DCM port, which names the log and the instance.
  SendLog(std::string job_name, int32_t port)
      : job_name_(std::move(job_name)), port_(port) {}
  void Write(const std::string& message) const {
    AppendLogFile("SendVantor" + std::to_string(port_) + ".log",
                  LogLine({message, job_name_}));
  }
  int32_t port() const { return port_; }

 private:
  std::string job_name_;
  int32_t port_;
};

// Written under a temporary name and renamed, so that whoever waits for it
// never reads half a file. The temporary is never a link planted to point
// elsewhere. Not flushed to disk: the file is read by the waiting service,
// not kept.
void WriteReturnFile(const std::string& fs_path, const SendOutcome& outcome) {
  const std::string temporary = fs_path + ".part";
  const std::string text = ReturnFileContents(outcome);
  int fd = ::open(temporary.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw Failure(kPathFileAccessError, "Cannot write " + temporary);
  bool written = WriteAll(fd, text.data(), text.size()) == 0;
  if (::close(fd) != 0) written = false;
  if (!written || std::rename(temporary.c_str(), fs_path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    throw Failure(kPathFileAccessError, "Cannot write " + fs_path);
  }
}

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnStopSignal(int) { stop_requested.store(true); }

// The job's images and whether its destination takes TLS, read through the
// connection the standby sender opened ahead (`ready`) when it is on the
// job's database, else through a connection of the job's own.
struct JobFiles {
  std::vector<dicom::StoreItem> files;
  bool tls = false;
};
JobFiles SelectForJob(const SendJob& job, const JobImageSelection& selection,
                      const SendLog& log, ReadyDatabase* ready) {
  JobFiles out;
  auto select = [&](Database& db) {
    out.files = SelectJobFiles(db, selection, RegularFileExists);
    out.tls = DestinationUsesTls(db, job.called_aet, job.address);
  };
  bool selected = false;
  if (ready != nullptr && ready->db.IsOpen() &&
      ready->db_server == job.db_server) {
    GuardWith(
        [&] {
          select(ready->db);
          selected = true;
        },
        [&](const FailureInfo& failure) {
          log.Write("The connection opened ahead failed (" +
                    failure.description + "); the job opens its own");
        });
    ready->db.Close();
  }
  if (!selected) {
    Database db;
    db.Open(ConnectionText(job.db_server));
    select(db);
  }
  return out;
}

dicom::StoreDestination DestinationOf(const SendJob& job, bool tls,
                                      const SendLog& log) {
  dicom::StoreDestination destination;
  destination.address = job.address;
  destination.port = job.port;
  destination.called_aet = job.called_aet;
  destination.calling_aet = job.calling_aet;
  destination.tls = tls;
  if (tls) destination.tls_files = SenderTlsFiles(log.port());
  return destination;
}

// Rewrites the return file with the counts so far from a thread of its
// own: at once when an image is done, then not again before
// kProgressInterval is over, so that on a fast link the images do not each
// cost a new file while on a slow one each image is still reported.
class ProgressWriter {
 public:
  ProgressWriter(std::string return_path, const SendOutcome& start)
      : return_path_(std::move(return_path)) {
    Write(start);
    thread_ = std::thread([this] { Run(); });
  }
  ~ProgressWriter() { Stop(); }
  ProgressWriter(const ProgressWriter&) = delete;
  ProgressWriter& operator=(const ProgressWriter&) = delete;

  void Update(const SendOutcome& now) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      progress_ = now;
      pending_ = true;
    }
    changed_.notify_one();
  }

  // Ends the thread; a count it has not written yet is dropped (the final
  // return file follows).
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Write(const SendOutcome& progress) {
    GuardVoid(kProcedure, [&] { WriteReturnFile(return_path_, progress); });
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || pending_; });
      if (stopping_) return;
      const SendOutcome progress = progress_;
      pending_ = false;
      lock.unlock();
      Write(progress);
      lock.lock();
      if (changed_.wait_for(lock, kProgressInterval,
                            [&] { return stopping_; }))
        return;
    }
  }

  const std::string return_path_;
  std::mutex mutex_;
  std::condition_variable changed_;
  SendOutcome progress_;
  bool pending_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

// Sends `files`, counting each image's outcome; the return file
// (`return_path`) follows the counts so far (see ProgressWriter).
dicom::StoreRun SendAndReport(const dicom::StoreDestination& destination,
                              const std::vector<dicom::StoreItem>& files,
                              const std::string& return_path,
                              const SendLog& log) {
  SendOutcome progress;
  progress.remaining = static_cast<int>(files.size());
  ProgressWriter writer(return_path, progress);
  return dicom::StoreFiles(
      destination, files,
      [&](const dicom::StoreFileResult& r) {
        if (!r.error.empty()) log.Write("Not sent: " + r.error);
        switch (r.outcome) {
          case dicom::StoreOutcome::kCompleted:
            ++progress.completed;
            break;
          case dicom::StoreOutcome::kWarning:
            ++progress.warning;
            break;
          case dicom::StoreOutcome::kFailed:
            ++progress.failed;
            break;
        }
        --progress.remaining;
        // The last image's counts go into the final file.
        if (progress.remaining > 0) writer.Update(progress);
      },
      [] { return SendStopRequested(); });
}

// The counts of `run` and, when it was stopped or its association failed,
// why, into `outcome`.
void RecordRun(const dicom::StoreRun& run, const SendJob& job,
               const SendLog& log, SendOutcome& outcome) {
  outcome.completed = run.completed;
  outcome.failed = run.failed;
  outcome.warning = run.warning;
  if (run.stopped) {
    outcome.remaining = run.not_sent;
    outcome.error = kCancelledError;
    log.Write("Cancelled: " + std::to_string(run.not_sent) +
              " images not sent");
  } else if (!run.association_error.empty()) {
    outcome.error = run.association_error;
    ErrorLogWrite(0,
                  "Sending to " + job.called_aet + " (" + job.address + ":" +
                      std::to_string(job.port) +
                      "): " + run.association_error,
                  kProcedure);
  }
}

// Selects, sends and counts; a failure of the job as a whole lands in
// `outcome.error`. While sending, the return file (`return_path`) is
// rewritten with the counts so far and what remains (see ProgressWriter).
void CarryOut(const SendJob& job, const std::string& return_path,
              const SendLog& log, ReadyDatabase* ready, SendOutcome& outcome) {
  GuardWith(
      [&] {
        std::optional<JobImageSelection> selection =
            JobImageStatement(job.statement);
        if (!selection) {
          throw Failure(kInvalidProcedureCall,
                        "The job's statement is not one the service writes: " +
                            job.statement);
        }
        log.Write("SQL: " + selection->sql);
        JobFiles selected = SelectForJob(job, *selection, log, ready);
        // A job taken over: what the sender before it sent stays sent. The
        // selection comes in the same order every time.
        if (job.skip > 0) {
          const size_t skip =
              std::min(selected.files.size(), static_cast<size_t>(job.skip));
          selected.files.erase(selected.files.begin(),
                               selected.files.begin() + skip);
          log.Write(std::to_string(skip) + " images sent before are left out");
        }
        log.Write(std::to_string(selected.files.size()) +
                  " images to send to " + job.called_aet + " (" +
                  job.address + ":" + std::to_string(job.port) + ") as " +
                  job.calling_aet + (selected.tls ? " over TLS" : ""));
        const dicom::StoreRun run =
            SendAndReport(DestinationOf(job, selected.tls, log),
                          selected.files, return_path, log);
        RecordRun(run, job, log, outcome);
      },
      [&](const FailureInfo& failure) {
        outcome.error = failure.description;
        ErrorLogWrite(failure.number, failure.description, kProcedure);
      });
}

// The job file's text, when it is a regular file of a job's size.
std::optional<std::string> ReadJobText(const std::string& fs_path) {
  struct stat st;
  if (::stat(fs_path.c_str(), &st) != 0)
    throw Failure(kFileNotFound, "File not found: " + fs_path);
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxJobFileBytes)
    return std::nullopt;
  std::optional<std::string> text = TryReadWholeFile(fs_path);
  if (!text) throw Failure(kFileNotFound, "File not found: " + fs_path);
  return text;
}

// Whether `return_file` (line 5) names the return file `expected` (the
// file-system path beside the job file): the same name and the same folder.
bool IsTheJobsReturnFile(const std::string& return_file,
                         const std::string& expected, int32_t port, int32_t n) {
  const std::filesystem::path given(ToFsPath(return_file));
  if (!IsReturnFileName(given.filename().string(), port, n)) return false;
  auto folder_of = [](const std::filesystem::path& path) {
    std::filesystem::path folder = path.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
  };
  std::error_code ec;
  return std::filesystem::equivalent(folder_of(given),
                                     folder_of(std::filesystem::path(expected)),
                                     ec) &&
         !ec;
}

}  // namespace

std::vector<dicom::StoreItem> SelectJobFiles(Database& db,
                                         const JobImageSelection& selection,
                                         const FileExists& exists) {
  std::vector<JobImage> images;
  std::vector<int> file_index;
  int study = -1, series = -1, number = -1, uid = -1;
  int sop_class = -1, syntax = -1;
  db.QueryEach(
      selection.sql,
      [&](const std::vector<std::string>& columns) {
        file_index = FileColumnIndex(columns);
        ResultSet names{columns, {}};
        study = names.ColumnIndex("StudyUID");
        series = names.ColumnIndex("SeriesUID");
        number = names.ColumnIndex("ImageNr");
        uid = names.ColumnIndex("ImageUID");
        // An archive whose view tells them: what the files hold.
        sop_class = names.ColumnIndex("SOPClassUID");
        syntax = names.ColumnIndex("TransferSyntaxUID");
      },
      [&](const std::vector<Value>& row) {
        auto text = [&](int i) { return i < 0 ? "" : row[i].ToText(); };
        JobImage image;
        image.study_uid = text(study);
        image.series_uid = text(series);
        if (number >= 0) image.image_nr = row[number];
        image.image_uid = text(uid);
        if (sop_class >= 0 && syntax >= 0 && !row[sop_class].IsNull() &&
            !row[syntax].IsNull()) {
          image.sop_class = Trim(row[sop_class].ToText());
          image.transfer_syntax = Trim(row[syntax].ToText());
        }
        image.file = ResolveImageFile(
            CandidatesFor(FileColumnsOf(row, file_index)), exists);
        images.push_back(std::move(image));
        return true;
      });
  if (selection.order_by_image_nr) {
    std::stable_sort(images.begin(), images.end(),
                     [](const JobImage& a, const JobImage& b) {
                       return ImageNrBefore(a.image_nr, b.image_nr);
                     });
  } else {
    std::stable_sort(images.begin(), images.end(),
                     [](const JobImage& a, const JobImage& b) {
                       if (a.study_uid != b.study_uid)
                         return a.study_uid < b.study_uid;
                       if (a.series_uid != b.series_uid)
                         return a.series_uid < b.series_uid;
                       if (ImageNrBefore(a.image_nr, b.image_nr)) return true;
                       if (ImageNrBefore(b.image_nr, a.image_nr)) return false;
                       return a.image_uid < b.image_uid;
                     });
  }
  std::vector<dicom::StoreItem> files;
  files.reserve(images.size());
  for (JobImage& image : images) {
    files.push_back({std::move(image.file), std::move(image.sop_class),
                     std::move(image.transfer_syntax)});
  }
  return files;
}

std::vector<std::string> SelectJobImages(Database& db,
                                         const JobImageSelection& selection,
                                         const FileExists& exists) {
  std::vector<std::string> paths;
  for (dicom::StoreItem& item : SelectJobFiles(db, selection, exists))
    paths.push_back(std::move(item.path));
  return paths;
}

bool SendStopRequested() { return stop_requested.load(); }

void StopOnTerminationSignal() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls go on: the image on the wire is finished.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
}

int RunSendJob(const std::string& job_path, ReadyDatabase* ready) {
  return Guard(kProcedure, 1, [&] {
    const std::string fs_job = ToFsPath(job_path);
    // The job's name carries the service's port, which names the logs.
    const std::optional<std::pair<int32_t, int32_t>> numbers =
        JobFileNumbers(fs_job);
    Config config;
    if (numbers) config.DCM = numbers->first;
    PublishSettings(config);
    const size_t slash = fs_job.find_last_of('/');
    const std::string job_name =
        slash == std::string::npos ? fs_job : fs_job.substr(slash + 1);
    SendLog log(job_name, config.DCM);
    log.Write("Job started: " + fs_job);
    if (!numbers) {
      throw Failure(kInvalidProcedureCall,
                    "The file " + fs_job +
                        " is not named as a send job; it is left as it is");
    }
    const auto [port, n] = *numbers;
    const std::string return_path =
        (slash == std::string::npos ? "" : fs_job.substr(0, slash + 1)) +
        "Return" + std::to_string(port) + "_" + std::to_string(n);

    SendOutcome outcome;
    // A job that is not run: the reason goes to the error log and into the
    // return file beside the job file. Only a job of ours (nine lines whose
    // return file is the one beside it) is removed; any other file is left
    // for an administrator to look at.
    auto refuse = [&](const std::string& why, bool remove_job) {
      outcome.error = why;
      ErrorLogWrite(kInvalidProcedureCall, why, kProcedure);
      log.Write("Job refused: " + why);
      GuardVoid(kProcedure, [&] { WriteReturnFile(return_path, outcome); });
      if (remove_job) ::unlink(fs_job.c_str());
      return 1;
    };
    std::optional<std::string> text = ReadJobText(fs_job);
    std::optional<SendJob> job =
        text ? ParseSendJob(*text) : std::optional<SendJob>();
    if (!job) {
      return refuse("The file " + fs_job +
                        " does not hold a send job; it is left as it is",
                    false);
    }
    if (!IsTheJobsReturnFile(job->return_file, return_path, port, n)) {
      return refuse("The job's return file " + job->return_file +
                        " is not the one beside " + fs_job +
                        "; the job is left as it is",
                    false);
    }
    const std::string fault = StatementFault(job->statement);
    if (!fault.empty()) {
      return refuse("The job's statement is not one the service writes (" +
                        fault + "): " + job->statement,
                    true);
    }
    CarryOut(*job, return_path, log, ready, outcome);
    WriteReturnFile(return_path, outcome);
    ::unlink(fs_job.c_str());
    log.Write("Job done: " + std::to_string(outcome.completed) +
              " completed, " + std::to_string(outcome.failed) + " failed, " +
              std::to_string(outcome.warning) + " warning" +
              (outcome.remaining > 0
                   ? ", " + std::to_string(outcome.remaining) + " not sent"
                   : "") +
              (outcome.error.empty() ? "" : " (" + outcome.error + ")"));
    return outcome.failed == 0 && outcome.error.empty() ? 0 : 1;
  });
}

}  // namespace vantor
