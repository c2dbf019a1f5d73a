// Starting the senders of C-MOVE jobs. One sender is kept started ahead for
// the next job (vantor-send --standby, see send/sender_standby.h): loaded, with
// its data dictionary read and its database connection open, so that a
// C-MOVE does not wait for a program start. A job that finds none waiting
// (two at once, or the waiting one has gone) starts its sender as before,
// and so does every job when the sender program is not ours (a site's own
// sender knows nothing of waiting) or has been replaced since the waiting
// one started.
#ifndef VANTOR_RETRIEVE_SENDER_STARTER_H_
#define VANTOR_RETRIEVE_SENDER_STARTER_H_

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "retrieve/detached_start.h"

namespace vantor {

class SenderStarter {
 public:
  SenderStarter() = default;
  // The waiting sender sees the end of its input and ends.
  ~SenderStarter();
  SenderStarter(const SenderStarter&) = delete;
  SenderStarter& operator=(const SenderStarter&) = delete;

  // Starts the sender `program` on the job file `job_path`: hands the job
  // to the sender waiting, when there is one, else starts one for it.
  // Throws a Failure when the job's sender cannot be started.
  StartedProgram Start(const std::string& program, const std::string& job_path);

  // Starts a sender to wait for the next job of `db_server`, unless one
  // waits already; one waiting for another database or program is ended.
  // A sender that cannot be started is not waited for (the next job starts
  // its own). Never throws.
  void Prepare(const std::string& program, const std::string& db_server);

  // Ends the waiting sender, if any.
  void Release();

  // Ends the waiting sender and starts no more (the service is stopping).
  void Shutdown();

  // Whether a sender waits (for tests).
  bool HasWaiting();

 private:
  // What tells one program file from another: a file put in the
  // program's place is another program.
  struct FileIdentity {
    bool operator==(const FileIdentity&) const = default;
    unsigned long device = 0, inode = 0;
    long long size = 0, modified_ns = 0;
  };
  static std::optional<FileIdentity> IdentityOf(const std::string& path);

  // Whether the program file holds the standby marker; remembered per file.
  bool CanWait(const std::string& program, const FileIdentity& identity);

  struct Waiting {
    StartedProgram program;
    int input = -1;  // our end of its standard input
    std::string program_path;
    FileIdentity identity;
    std::string db_server;
  };
  static void Close(std::unique_ptr<Waiting>& waiting);

  std::mutex mutex_;
  bool shut_down_ = false;
  std::unique_ptr<Waiting> waiting_;
  // The last program file looked at, and whether it can wait.
  std::optional<std::pair<FileIdentity, bool>> checked_;
};

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_SENDER_STARTER_H_
