#include "web/wado.h"

#include "dicom/toolkit/dicom_json.h"
#include "dicom/toolkit/frames.h"
#include "dicom/toolkit/part10_file.h"
#include "dicom/toolkit/rendering.h"
#include "dicom/toolkit/transcoder.h"
#include "host/base/failure.h"
#include "retrieve/cget_files.h"
#include "web/http/media_type.h"
#include "web/http/multipart_reader.h"

namespace vantor::web {
namespace {

constexpr int kThumbnailSize = 128;

bool WantsPng(const std::string& accept) {
  for (const MediaType& range : ParseAccept(accept)) {
    if (MediaRangeMatches(range, "image/jpeg")) return false;
    if (MediaRangeMatches(range, "image/png")) return true;
  }
  return false;
}

bool AcceptsPicture(const std::string& accept) {
  for (const MediaType& range : ParseAccept(accept))
    if (MediaRangeMatches(range, "image/jpeg") ||
        MediaRangeMatches(range, "image/png"))
      return true;
  return false;
}

// A number parameter from 1 to `most`; `fallback` when absent, 0 when bad.
int NumberParam(const WebCall& call, std::string_view name, int fallback,
                int most) {
  const std::string text = call.Param(name);
  if (text.empty()) return fallback;
  if (text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  const int n = std::stoi(text);
  return n >= 1 && n <= most ? n : 0;
}

void Render(WebCall& call, const std::string& path, int frame, int size) {
  const std::string accept = call.request().Header("accept");
  if (!AcceptsPicture(accept)) {
    AnswerError(call.exchange, 406, "Pictures are given as image/jpeg or image/png");
    return;
  }
  const bool png = WantsPng(accept);
  const int quality = NumberParam(call, "quality", 90, 100);
  if (quality == 0) {
    AnswerError(call.exchange, 400, "quality must be a whole number from 1 to 100");
    return;
  }
  std::string picture;
  try {
    picture = dicom::RenderFrame(
        path, frame, png ? dicom::ImageFormat::kPng : dicom::ImageFormat::kJpeg,
        size, quality);
  } catch (const Failure& failure) {
    if (failure.number() == kSubscriptOutOfRange) {
      AnswerError(call.exchange, 404, failure.what());
      return;
    }
    throw;
  }
  call.exchange.Respond(200, {{"Content-Type", png ? "image/png" : "image/jpeg"}},
                        std::move(picture));
}

}  // namespace

std::string RequestedInstanceSyntax(const std::string& accept) {
  for (const MediaType& range : ParseAccept(accept)) {
    const std::string type = range.full();
    if (type == "multipart/related") {
      const std::string part = range.param("type");
      if (!part.empty() && part != "application/dicom") continue;
    } else if (type != "application/dicom" && type != "*/*" &&
               type != "multipart/*") {
      continue;
    }
    const std::string syntax = range.param("transfer-syntax");
    return syntax.empty() ? "*" : syntax;
  }
  return "";
}

std::string FrameMediaType(const std::string& syntax) {
  if (syntax == "1.2.840.10008.1.2.4.50" || syntax == "1.2.840.10008.1.2.4.51" ||
      syntax == "1.2.840.10008.1.2.4.57" || syntax == "1.2.840.10008.1.2.4.70")
    return "image/jpeg";
  if (syntax == "1.2.840.10008.1.2.4.80" || syntax == "1.2.840.10008.1.2.4.81")
    return "image/jls";
  if (syntax == "1.2.840.10008.1.2.5") return "image/dicom-rle";
  if (syntax == "1.2.840.10008.1.2.4.90" || syntax == "1.2.840.10008.1.2.4.91")
    return "image/jp2";
  return "application/octet-stream";
}

bool RouteFiles(const WebCall& call, std::vector<std::string>& files) {
  dicom::Dataset identifier;
  const Route& route = call.route;
  identifier.Put(0x0008, 0x0052,
                 Value(!route.instance.empty() ? "IMAGE"
                       : !route.series.empty() ? "SERIES"
                                               : "STUDY"));
  identifier.Put(0x0020, 0x000D, Value(route.study));
  if (!route.series.empty())
    identifier.Put(0x0020, 0x000E, Value(route.series));
  if (!route.instance.empty())
    identifier.Put(0x0008, 0x0018, Value(route.instance));
  return call.services.requests.PrepareSendCGet(call.context, identifier,
                                                files);
}

namespace {

// The files of the route, or an answer saying why there are none.
bool FilesOrAnswer(WebCall& call, std::vector<std::string>& files) {
  if (!RouteFiles(call, files)) {
    AnswerError(call.exchange, 500, "The images could not be selected");
    return false;
  }
  if (files.empty()) {
    AnswerError(call.exchange, 404, "No such study, series or instance");
    return false;
  }
  return true;
}

}  // namespace

void RetrieveInstances(WebCall& call) {
  const std::string syntax =
      RequestedInstanceSyntax(call.request().Header("accept"));
  if (syntax.empty()) {
    AnswerError(call.exchange, 406,
                "Instances are given as multipart/related; "
                "type=\"application/dicom\"");
    return;
  }
  std::vector<std::string> files;
  if (!FilesOrAnswer(call, files)) return;
  // Every file must be deliverable in the asked syntax before the answer
  // starts: a refusal cannot follow a 200.
  std::vector<std::string> stored(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    stored[i] = dicom::ReadPart10Header(files[i]).transfer_syntax;
    if (syntax != "*" && !dicom::CanTranscode(stored[i], syntax)) {
      AnswerError(call.exchange, 406,
                  "An instance stored in " + stored[i] +
                      " cannot be given in " + syntax);
      return;
    }
  }
  const std::string boundary = NewBoundary();
  call.exchange.BeginStream(
      200, {{"Content-Type", "multipart/related; type=\"application/dicom\"; "
                             "boundary=" + boundary}});
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& path = files[i];
    const bool as_stored = syntax == "*" || syntax == stored[i];
    const std::string part_type =
        "application/dicom; transfer-syntax=" + (as_stored ? stored[i] : syntax);
    if (!call.exchange.WriteChunk(
            MultipartPartHeader(boundary, part_type, i == 0)))
      return;
    if (as_stored) {
      // The next file is read into the cache while this one goes out.
      if (i + 1 < files.size()) dicom::ReadAhead(files[i + 1]);
      if (!call.exchange.WriteFile(path)) {
        // The answer has begun: the connection ends without the closing
        // delimiter, so the caller sees that it is incomplete.
        throw Failure(kPathFileAccessError, "Cannot read " + path);
      }
    } else {
      std::string converted;
      dicom::TranscodeFile(path, syntax, converted);
      if (!call.exchange.WriteChunk(converted)) return;
    }
  }
  call.exchange.WriteChunk(MultipartClose(boundary));
  call.exchange.EndStream();
}

void RetrieveMetadata(WebCall& call) {
  bool json = false;
  for (const MediaType& range : ParseAccept(call.request().Header("accept")))
    if (MediaRangeMatches(range, "application/dicom+json") ||
        MediaRangeMatches(range, "application/json"))
      json = true;
  if (!json) {
    AnswerError(call.exchange, 406,
                "Metadata is given as application/dicom+json only");
    return;
  }
  std::vector<std::string> files;
  if (!FilesOrAnswer(call, files)) return;
  const std::string base = call.BaseUrl();
  std::string body = "[";
  const auto uri = [&](const std::string& study, const std::string& series,
                       const std::string& instance) {
    return base + "/studies/" + study + "/series/" + series + "/instances/" +
           instance;
  };
  for (size_t i = 0; i < files.size(); ++i) {
    if (i > 0) body += ",";
    body += dicom::FileMetadataJson(files[i], uri);
  }
  body += "]";
  call.exchange.Respond(200, {{"Content-Type", "application/dicom+json"}},
                        std::move(body));
}

void RetrieveFrames(WebCall& call) {
  // Frames as stored when the caller takes any syntax, else native.
  bool as_stored = false;
  bool acceptable = false;
  for (const MediaType& range : ParseAccept(call.request().Header("accept"))) {
    const std::string type = range.full();
    const std::string part = range.param("type");
    const std::string syntax = range.param("transfer-syntax");
    if (type == "multipart/related" || type == "*/*" ||
        type == "application/octet-stream" || type == "multipart/*") {
      if (syntax == "*") as_stored = true;
      if (!syntax.empty() && syntax != "*" && syntax != "1.2.840.10008.1.2.1")
        continue;
      acceptable = true;
      break;
    }
    if (type == "image/*" || type == "image/jpeg" || type == "image/jls" ||
        type == "image/dicom-rle") {
      as_stored = true;
      acceptable = true;
      break;
    }
  }
  if (!acceptable) {
    AnswerError(call.exchange, 406,
                "Frames are given as multipart/related; "
                "type=\"application/octet-stream\"");
    return;
  }
  std::vector<std::string> files;
  if (!FilesOrAnswer(call, files)) return;
  dicom::Frames frames;
  try {
    frames = dicom::ReadFrames(files.front(), call.route.frames, as_stored);
  } catch (const Failure& failure) {
    if (failure.number() == kSubscriptOutOfRange) {
      AnswerError(call.exchange, 404, failure.what());
      return;
    }
    throw;
  }
  const std::string media = FrameMediaType(frames.transfer_syntax);
  const std::string boundary = NewBoundary();
  std::string body;
  for (size_t i = 0; i < frames.data.size(); ++i) {
    body += MultipartPartHeader(
        boundary, media + "; transfer-syntax=" + frames.transfer_syntax, i == 0);
    body += frames.data[i];
  }
  body += MultipartClose(boundary);
  call.exchange.Respond(
      200,
      {{"Content-Type", "multipart/related; type=\"" + media +
                            "\"; boundary=" + boundary}},
      std::move(body));
}

void RetrieveRendered(WebCall& call) {
  std::vector<std::string> files;
  if (!FilesOrAnswer(call, files)) return;
  const bool thumbnail = call.route.resource == Resource::kThumbnail;
  const int frame = call.route.frames.empty() ? 1 : call.route.frames.front();
  int size = thumbnail ? kThumbnailSize : 0;
  const std::string viewport = call.Param("viewport");
  if (!viewport.empty()) {
    // "rows,columns": the picture fits into both.
    const size_t comma = viewport.find(',');
    const std::string rows = viewport.substr(0, comma);
    if (rows.empty() || rows.size() > 5 ||
        rows.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(rows) < 1) {
      AnswerError(call.exchange, 400, "viewport must be rows,columns");
      return;
    }
    size = std::stoi(rows);
    if (comma != std::string::npos) {
      const std::string columns = viewport.substr(comma + 1);
      if (!columns.empty() && columns.size() <= 5 &&
          columns.find_first_not_of("0123456789") == std::string::npos &&
          std::stoi(columns) >= 1)
        size = std::min(size, std::stoi(columns));
    }
  }
  // At study and series level the first instance stands for the rest.
  Render(call, files.front(), frame, size);
}

void RetrieveBulkData(WebCall& call) {
  bool acceptable = false;
  for (const MediaType& range : ParseAccept(call.request().Header("accept"))) {
    const std::string type = range.full();
    const std::string part = range.param("type");
    if ((type == "multipart/related" &&
         (part.empty() || part == "application/octet-stream")) ||
        MediaRangeMatches(range, "application/octet-stream"))
      acceptable = true;
  }
  if (!acceptable) {
    AnswerError(call.exchange, 406,
                "Bulk data is given as multipart/related; "
                "type=\"application/octet-stream\"");
    return;
  }
  std::vector<std::string> files;
  if (!FilesOrAnswer(call, files)) return;
  std::string value;
  try {
    value = dicom::ReadBulkData(files.front(), call.route.bulk_tag);
  } catch (const Failure& failure) {
    if (failure.number() == kSubscriptOutOfRange) {
      AnswerError(call.exchange, 404, failure.what());
      return;
    }
    throw;
  }
  const std::string boundary = NewBoundary();
  std::string body =
      MultipartPartHeader(boundary, "application/octet-stream", true);
  body += value;
  body += MultipartClose(boundary);
  call.exchange.Respond(
      200,
      {{"Content-Type",
        "multipart/related; type=\"application/octet-stream\"; boundary=" +
            boundary}},
      std::move(body));
}

void RetrieveWadoUri(WebCall& call) {
  if (call.Param("requestType") != "WADO") {
    AnswerError(call.exchange, 400, "requestType must be WADO");
    return;
  }
  Route route;
  route.study = call.Param("studyUID");
  route.series = call.Param("seriesUID");
  route.instance = call.Param("objectUID");
  if (!IsUid(route.study) || !IsUid(route.series) || !IsUid(route.instance)) {
    AnswerError(call.exchange, 400,
                "studyUID, seriesUID and objectUID must be UIDs");
    return;
  }
  WebCall inner{call.exchange, route, call.caller, call.context, call.services,
                call.params};
  std::vector<std::string> files;
  if (!FilesOrAnswer(inner, files)) return;
  std::string content_type = call.Param("contentType");
  if (content_type.empty()) content_type = "image/jpeg";
  if (content_type == "application/dicom") {
    const std::string syntax = call.Param("transferSyntax");
    const std::string stored = dicom::ReadPart10Header(files.front()).transfer_syntax;
    if (syntax.empty() || syntax == "*" || syntax == stored) {
      call.exchange.BeginStream(200, {{"Content-Type", "application/dicom"}});
      if (!call.exchange.WriteFile(files.front()))
        throw Failure(kPathFileAccessError, "Cannot read " + files.front());
      call.exchange.EndStream();
      return;
    }
    if (!dicom::CanTranscode(stored, syntax)) {
      AnswerError(call.exchange, 406,
                  "The instance stored in " + stored + " cannot be given in " +
                      syntax);
      return;
    }
    std::string converted;
    try {
      dicom::TranscodeFile(files.front(), syntax, converted);
    } catch (const Failure& failure) {
      // The codec refused this image (JPEG baseline for 16 bits, say).
      if (failure.number() != kInvalidProcedureCall) throw;
      AnswerError(call.exchange, 406, failure.what());
      return;
    }
    call.exchange.Respond(200, {{"Content-Type", "application/dicom"}},
                          std::move(converted));
    return;
  }
  if (content_type != "image/jpeg" && content_type != "image/png") {
    AnswerError(call.exchange, 406,
                "contentType must be application/dicom, image/jpeg or "
                "image/png");
    return;
  }
  const int frame = NumberParam(call, "frameNumber", 1, 1 << 20);
  const int rows = NumberParam(call, "rows", 0, 1 << 15);
  const int columns = NumberParam(call, "columns", 0, 1 << 15);
  if (frame == 0) {
    AnswerError(call.exchange, 400, "frameNumber must be a whole number from 1");
    return;
  }
  const int quality = NumberParam(call, "imageQuality", 90, 100);
  if (quality == 0) {
    AnswerError(call.exchange, 400,
                "imageQuality must be a whole number from 1 to 100");
    return;
  }
  int size = 0;
  if (rows > 0) size = rows;
  if (columns > 0) size = size > 0 ? std::min(size, columns) : columns;
  std::string picture = dicom::RenderFrame(
      files.front(), frame,
      content_type == "image/png" ? dicom::ImageFormat::kPng
                                  : dicom::ImageFormat::kJpeg,
      size, quality);
  call.exchange.Respond(200, {{"Content-Type", content_type}},
                        std::move(picture));
}

}  // namespace vantor::web
