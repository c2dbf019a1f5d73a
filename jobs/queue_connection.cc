#include "jobs/queue_connection.h"

#include "host/base/failure.h"

namespace vantor {

void QueueConnection::Round(const Config& config, const Log& log,
                            const std::function<void(JobStore&)>& round) noexcept {
  GuardWith(
      [&] {
        const std::string text = ConnectionText(config.DBServer);
        if (!store_ || text != open_text_) {
          store_.reset();
          db_.Close();
          db_.Open(text);
          open_text_ = text;
          store_ = std::make_unique<JobStore>(db_, kind_);
        }
        round(*store_);
        last_error_.clear();
      },
      [&](const FailureInfo& failure) {
        Close();
        if (failure.description != last_error_)
          log.Error(failure.number, failure.description + " (" + what_ + ")",
                    procedure_);
        last_error_ = failure.description;
      });
}

void QueueConnection::Close() noexcept {
  store_.reset();
  GuardVoid("QueueConnection", [&] { db_.Close(); });
}

}  // namespace vantor
