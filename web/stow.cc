#include "web/stow.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "dicom/toolkit/received_file.h"
#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/paths.h"
#include "retrieve/store/incoming_files.h"
#include "web/http/media_type.h"
#include "web/http/multipart_reader.h"

namespace vantor::web {
namespace {

constexpr char kProcedure[] = "StoreInstances";
// Failure reasons of the answer.
constexpr uint16_t kCannotUnderstand = 0xC000;
constexpr uint16_t kStudyMismatch = 0xA900;

nlohmann::json Element(const char* vr, const std::string& value) {
  nlohmann::json e{{"vr", vr}};
  if (!value.empty()) e["Value"] = nlohmann::json::array({value});
  return e;
}

// Receives the parts one by one: each goes to a temporary file in the
// incoming folder, then through the reception.
class PartSink {
 public:
  PartSink(WebCall& call, std::string folder)
      : call_(call), folder_(std::move(folder)) {}

  bool Begin(const MultipartReader::Part& part) {
    const std::optional<MediaType> type = ParseMediaType(part.content_type());
    if (part.content_type().empty() ||
        (type && type->full() == "application/dicom")) {
      file_ = std::make_unique<PendingFile>(folder_, "stow");
      fd_ = ::open(file_->path().c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd_ < 0) ThrowFileError(errno, "Cannot create " + file_->path());
      return true;
    }
    unsupported_ = part.content_type();
    return false;
  }

  bool Data(std::string_view piece) {
    if (const int err = WriteAll(fd_, piece.data(), piece.size()))
      ThrowFileError(err, "Cannot write " + file_->path());
    return true;
  }

  bool End() {
    ::close(fd_);
    fd_ = -1;
    Receive();
    file_.reset();
    return true;
  }

  ~PartSink() {
    if (fd_ >= 0) ::close(fd_);
  }

  const std::string& unsupported() const { return unsupported_; }
  std::vector<StowOutcome>& outcomes() { return outcomes_; }

 private:
  void Receive() {
    StowOutcome outcome;
    std::unique_ptr<dicom::ReceivedImage> image;
    try {
      image = dicom::ReadReceivedFile(file_->path());
    } catch (const Failure& failure) {
      call_.context.log.Error(failure.number(),
                              std::string("STOW-RS part from ") +
                                  call_.caller.Name() + ": " + failure.what(),
                              kProcedure);
      outcome.status = kCannotUnderstand;
      outcomes_.push_back(outcome);
      return;
    }
    outcome.sop_class = image->SOPClassUID();
    outcome.sop_instance = image->SOPInstanceUID();
    const std::string study = image->StudyInstanceUID();
    if (!call_.route.study.empty() && study != call_.route.study) {
      outcome.status = kStudyMismatch;
      outcomes_.push_back(outcome);
      return;
    }
    dicom::Connection connection;
    connection.calling_aet =
        call_.caller.aet.empty() ? "DICOMWEB" : call_.caller.aet;
    connection.remote_ip = call_.caller.address;
    connection.called_aet = call_.context.settings().OwnAET;
    connection.security = call_.request().tls ? "HTTPS" : "";
    outcome.status = call_.services.ReceiveImage(
        call_.context.settings(), call_.context.log, connection, *image);
    if (outcome.status == 0)
      outcome.retrieve_url = call_.BaseUrl() + "/studies/" + study +
                             "/series/" + image->SeriesInstanceUID() +
                             "/instances/" + outcome.sop_instance;
    if (study_url_.empty() && outcome.status == 0)
      study_url_ = call_.BaseUrl() + "/studies/" + study;
    outcomes_.push_back(outcome);
  }

 public:
  const std::string& study_url() const { return study_url_; }

 private:
  WebCall& call_;
  const std::string folder_;
  std::unique_ptr<PendingFile> file_;
  int fd_ = -1;
  std::string unsupported_;
  std::vector<StowOutcome> outcomes_;
  std::string study_url_;
};

}  // namespace

int StowStatus(const std::vector<StowOutcome>& outcomes) {
  size_t stored = 0;
  for (const StowOutcome& o : outcomes) stored += o.status == 0 ? 1 : 0;
  if (stored == outcomes.size()) return 200;
  return stored == 0 ? 409 : 202;
}

std::string StowAnswer(const std::string& study_url,
                       const std::vector<StowOutcome>& outcomes) {
  nlohmann::json referenced = nlohmann::json::array();
  nlohmann::json failed = nlohmann::json::array();
  for (const StowOutcome& o : outcomes) {
    nlohmann::json item{{"00081150", Element("UI", o.sop_class)},
                        {"00081155", Element("UI", o.sop_instance)}};
    if (o.status == 0) {
      item["00081190"] = Element("UR", o.retrieve_url);
      referenced.push_back(std::move(item));
    } else {
      item["00081197"] = {{"vr", "US"}, {"Value", {o.status}}};
      failed.push_back(std::move(item));
    }
  }
  nlohmann::json answer = nlohmann::json::object();
  if (!study_url.empty()) answer["00081190"] = Element("UR", study_url);
  if (!failed.empty()) answer["00081198"] = {{"vr", "SQ"}, {"Value", failed}};
  if (!referenced.empty())
    answer["00081199"] = {{"vr", "SQ"}, {"Value", referenced}};
  return answer.dump();
}

void StoreInstances(WebCall& call) {
  const std::optional<MediaType> type =
      ParseMediaType(call.request().Header("content-type"));
  if (!type || type->full() != "multipart/related" ||
      (!type->param("type").empty() &&
       type->param("type") != "application/dicom")) {
    AnswerError(call.exchange, 415,
                "Instances are stored as multipart/related; "
                "type=\"application/dicom\"");
    return;
  }
  const std::string boundary = type->param("boundary");
  if (boundary.empty() || boundary.size() > 70) {
    AnswerError(call.exchange, 400, "The multipart body has no boundary");
    return;
  }
  const std::string folder = ToFsPath(call.context.settings().Temp);
  PartSink sink(call, folder.empty() || folder.back() == '/' ? folder
                                                             : folder + "/");
  MultipartReader reader(
      boundary, {[&](const MultipartReader::Part& p) { return sink.Begin(p); },
                 [&](std::string_view d) { return sink.Data(d); },
                 [&] { return sink.End(); }});
  const BodyEnd end =
      call.exchange.ReadBody([&](std::string_view piece) {
        return reader.Feed(piece);
      });
  if (end == BodyEnd::kTooLarge) {
    AnswerError(call.exchange, 413, "The body is over the configured limit");
    return;
  }
  if (end == BodyEnd::kBroken) {
    call.context.log.Error(0, "STOW-RS body from " + call.caller.Name() +
                                  " broken off after " +
                                  std::to_string(sink.outcomes().size()) +
                                  " instances",
                           kProcedure);
    AnswerError(call.exchange, 400, "The body ended early");
    return;
  }
  if (!sink.unsupported().empty()) {
    AnswerError(call.exchange, 415,
                "A part of type " + sink.unsupported() +
                    " is not application/dicom");
    return;
  }
  if (end == BodyEnd::kStopped || !reader.Finish()) {
    AnswerError(call.exchange, 400,
                "Malformed multipart body: " + reader.error() +
                    (sink.outcomes().empty()
                         ? ""
                         : " (after " + std::to_string(sink.outcomes().size()) +
                               " instances)"));
    return;
  }
  const int status = StowStatus(sink.outcomes());
  call.exchange.Respond(status, {{"Content-Type", "application/dicom+json"}},
                        StowAnswer(sink.study_url(), sink.outcomes()));
  call.context.log.Debug(std::to_string(sink.outcomes().size()) +
                             " instances received by STOW-RS from " +
                             call.caller.Name(),
                         kProcedure);
}

}  // namespace vantor::web
