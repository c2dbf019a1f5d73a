// The web port end to end with curl against the running service: what
// C-FIND finds, QIDO-RS finds; WADO-RS and WADO-URI give the stored bytes,
// frames and pictures; STOW-RS stores through the same reception as
// C-STORE; callers are let in by address or password only; bad input gets
// a clear status and changes nothing.
#include <crypt.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/service_process.h"
#include "tests/support/store_destination.h"
#include "tests/support/test_env.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using nlohmann::json;

constexpr char kStudy[] = "1.2.826.0.1.3680043.9.77.1";
constexpr char kSeries[] = "1.2.826.0.1.3680043.9.77.1.1";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Answer {
  int status = 0;
  std::string body;
  std::string headers;
  std::string output;  // curl's own
};

// The value of a DICOM JSON attribute ("" when absent or empty).
std::string JsonText(const json& object, const char* tag) {
  if (!object.contains(tag) || !object[tag].contains("Value")) return "";
  const json& v = object[tag]["Value"][0];
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number()) return std::to_string(v.get<int64_t>());
  if (v.is_object() && v.contains("Alphabetic"))
    return v["Alphabetic"].get<std::string>();
  return v.dump();
}

class WebE2eTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    work_ = archive_.dir() + "/work";
    store_ = archive_.dir() + "/store";
    fs::create_directories(work_);
    archive_.AddLocation({.archive_path = store_});
    archive_.AddNode("VIEWER", "127.0.0.1");
    archive_.AddNode("FINDSCU", "127.0.0.1");
    archive_.AddNode("MODAL", "127.0.0.1", false, false, true);
    // A modality that may only store, on an address of its own.
    archive_.AddNode("MODAL3", "127.0.0.3", false, false, true);
    crypt_data data{};
    const std::string hash =
        ::crypt_r("s3cret", "$6$webtestsalt$", &data);
    password_file_ = archive_.dir() + "/web-users";
    std::ofstream(password_file_) << "# web users\nanna:" << hash << "\n";
  }
  void TearDown() override { service_.Stop(); }

  bool Start(RegValues extra = {}) {
    http_port_ = FreeLoopbackPort();
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    options.debug = true;
    options.instance_values = {{"Import", "1"},
                               {"DateFormat", FixtureArchive::kDateFormat},
                               {"CountStudy", "1"},
                               {"CountSeries", "1"},
                               {"HTTP", std::to_string(http_port_)},
                               {"HTTPCredentials", password_file_}};
    for (auto& v : extra) options.instance_values.push_back(v);
    if (!service_.Start(options)) return false;
    // The web port opens right after the DICOM port.
    for (int i = 0; i < 100 && !IsListening(http_port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return IsListening(http_port_);
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(http_port_) + "/dicom-web" +
           path;
  }

  // curl with `args`, the body into a file; the status and headers back.
  Answer Curl(std::vector<std::string> args) {
    const std::string body = work_ + "/body";
    const std::string headers = work_ + "/headers";
    fs::remove(body);
    fs::remove(headers);
    std::vector<std::string> all = {"-s", "-S", "-o", body, "-D", headers,
                                    "-w", "%{http_code}", "--max-time", "60"};
    all.insert(all.end(), args.begin(), args.end());
    ToolResult r = RunDcmtkTool("/usr/bin/curl", all, std::chrono::seconds(90));
    Answer a;
    a.output = r.output;
    const std::string code = r.output.size() >= 3
                                 ? r.output.substr(r.output.size() - 3)
                                 : r.output;
    a.status = std::atoi(code.c_str());
    a.body = ReadFile(body);
    a.headers = ReadFile(headers);
    return a;
  }

  Answer Get(const std::string& path, const std::string& accept = "",
             std::vector<std::string> more = {}) {
    std::vector<std::string> args = more;
    if (!accept.empty()) {
      args.push_back("-H");
      args.push_back("Accept: " + accept);
    }
    args.push_back(Url(path));
    return Curl(args);
  }

  // A multipart/related body of `files` under `boundary`.
  std::string MultipartBody(const std::vector<std::string>& files,
                            const std::string& boundary) {
    std::string body;
    for (const std::string& f : files)
      body += "--" + boundary + "\r\nContent-Type: application/dicom\r\n\r\n" +
              ReadFile(f) + "\r\n";
    body += "--" + boundary + "--\r\n";
    return body;
  }

  Answer Post(const std::string& path, const std::string& body,
              const std::string& content_type, std::vector<std::string> more = {}) {
    const std::string file = work_ + "/upload";
    std::ofstream(file, std::ios::binary) << body;
    std::vector<std::string> args = more;
    for (const std::string& a :
         {std::string("-X"), std::string("POST"), std::string("-H"),
          "Content-Type: " + content_type, std::string("-H"),
          std::string("Accept: application/dicom+json"),
          std::string("--data-binary"), "@" + file, Url(path)})
      args.push_back(a);
    return Curl(args);
  }

  std::vector<std::string> Images(const std::string& series, int count,
                                  const std::string& study = kStudy) {
    std::vector<std::string> paths;
    for (int i = 1; i <= count; ++i) {
      TestImage image;
      image.study_uid = study;
      image.series_uid = series;
      image.sop_instance_uid = series + "." + std::to_string(i);
      image.patient_id = "P-WEB";
      image.patient_name = "Web^Wanda";
      image.extra = {{"StudyDate", "20240315"},
                     {"StudyDescription", "Web study"},
                     {"SeriesNumber", "1"},
                     {"InstanceNumber", std::to_string(i)}};
      paths.push_back(work_ + "/" + image.sop_instance_uid + ".dcm");
      WriteTestImage(paths.back(), image);
    }
    return paths;
  }

  std::string Incoming() const {
    return service_.program_dir() + "/drives/e/Temp/";
  }

  bool WaitUntilImported() { return vantor::WaitUntilImported(Incoming()); }

  // Stores the demo series with storescu and waits for its import.
  void StoreSeries() {
    std::vector<std::string> args = {"--no-halt", "-aet", "MODAL",
                                     "127.0.0.1", service_.port_text()};
    for (const std::string& f : Images(kSeries, 3)) args.push_back(f);
    ToolResult stored = RunDcmtkTool("storescu", args);
    ASSERT_EQ(stored.exit_code, 0) << stored.output;
    ASSERT_TRUE(WaitUntilImported()) << service_.Describe();
  }

  // The archived file of an instance.
  std::string ArchivedFile(const std::string& sop_instance) {
    for (const auto& e : fs::recursive_directory_iterator(store_))
      if (e.path().filename() == sop_instance + ".dcm") return e.path();
    return "";
  }

  int CountFindResponses(const std::vector<std::string>& keys) {
    std::vector<std::string> args = {"-S", "-aet", "FINDSCU"};
    for (const std::string& k : keys) {
      args.push_back("-k");
      args.push_back(k);
    }
    args.push_back("127.0.0.1");
    args.push_back(service_.port_text());
    ToolResult r = RunDcmtkTool("findscu", args);
    int n = 0;
    for (size_t at = r.output.find("Find Response: "); at != std::string::npos;
         at = r.output.find("Find Response: ", at + 1))
      ++n;
    return n;
  }

  FixtureArchive archive_{GetParam()};
  ServiceProcess service_;
  std::string work_;
  std::string store_;
  std::string password_file_;
  int http_port_ = 0;
};

TEST_P(WebE2eTest, SearchesFindWhatCFindFinds) {
  ASSERT_TRUE(Start()) << service_.Describe();
  StoreSeries();
  const int64_t patient = archive_.AddPatient(
      // The archive keeps an apostrophe of a name as an acute accent.
      {.patient_id = "P-OTHER", .last_name = "O\u00B4Brien", .first_name = "Ola"});
  archive_.AddStudy(patient, {.study_date = "2019-05-01",
                              .description = "Older study"});

  Answer all = Get("/studies", "application/dicom+json");
  ASSERT_EQ(all.status, 200) << all.body << service_.Describe();
  EXPECT_THAT(all.headers, HasSubstr("application/dicom+json"));
  const json studies = json::parse(all.body);
  EXPECT_EQ(static_cast<int>(studies.size()),
            CountFindResponses({"QueryRetrieveLevel=STUDY", "PatientName=*"}));
  EXPECT_EQ(studies.size(), 2u);

  Answer by_id = Get("/studies?PatientID=P-WEB&includefield=StudyDescription");
  ASSERT_EQ(by_id.status, 200) << by_id.body;
  const json one = json::parse(by_id.body);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(JsonText(one[0], "0020000D"), kStudy);
  EXPECT_EQ(JsonText(one[0], "00100010"), "Web^Wanda");
  EXPECT_EQ(JsonText(one[0], "00081030"), "Web study");
  EXPECT_EQ(JsonText(one[0], "00201208"), "3");

  // Wildcards, date ranges and tags by number go through the same rules.
  EXPECT_EQ(json::parse(Get("/studies?PatientName=Web*").body).size(), 1u);
  EXPECT_EQ(json::parse(Get("/studies?00100020=P-WEB").body).size(), 1u);
  EXPECT_EQ(json::parse(Get("/studies?StudyDate=20240101-20241231").body).size(),
            1u);
  EXPECT_EQ(json::parse(Get("/studies?StudyDate=20180101-20191231").body).size(),
            1u);
  // A quote in a value is a value, not SQL, matched as C-FIND matches it.
  Answer quoted = Get("/studies?PatientName=O%27Brien*");
  ASSERT_EQ(quoted.status, 200) << quoted.body;
  EXPECT_EQ(json::parse(quoted.body).size(), 1u);
  EXPECT_EQ(CountFindResponses({"QueryRetrieveLevel=STUDY", "PatientName=O'Brien*"}),
            1);
  Answer injected = Get("/studies?PatientName=%27%3B%20DROP%20TABLE%20tblStudies%3B--");
  EXPECT_EQ(injected.status, 200) << injected.body;
  EXPECT_EQ(json::parse(injected.body).size(), 0u);
  EXPECT_EQ(json::parse(Get("/studies").body).size(), 2u);

  Answer series = Get(std::string("/studies/") + kStudy + "/series");
  ASSERT_EQ(series.status, 200) << series.body;
  ASSERT_EQ(json::parse(series.body).size(), 1u);
  EXPECT_EQ(JsonText(json::parse(series.body)[0], "0020000E"), kSeries);
  Answer instances = Get(std::string("/studies/") + kStudy + "/series/" +
                         kSeries + "/instances");
  ASSERT_EQ(instances.status, 200) << instances.body;
  EXPECT_EQ(json::parse(instances.body).size(), 3u);
  Answer page = Get(std::string("/studies/") + kStudy + "/series/" + kSeries +
                    "/instances?limit=1&offset=1");
  ASSERT_EQ(json::parse(page.body).size(), 1u);
  Answer past = Get(std::string("/studies/") + kStudy + "/series/" + kSeries +
                    "/instances?offset=5");
  EXPECT_EQ(json::parse(past.body).size(), 0u);

  // Bad parameters are named, not searched.
  EXPECT_EQ(Get("/studies?NoSuchKeyword=1").status, 400);
  EXPECT_EQ(Get("/studies?limit=-1").status, 400);
  EXPECT_EQ(Get("/studies?PatientID=%zz").status, 400);
  EXPECT_EQ(Get("/studies", "text/html").status, 406);
  Answer fuzzy = Get("/studies?fuzzymatching=true");
  EXPECT_EQ(fuzzy.status, 200);
  EXPECT_THAT(fuzzy.headers, HasSubstr("Warning: 299"));
  EXPECT_THAT(service_.ReadLog("Web" + service_.port_text() + ".log"),
              HasSubstr("\tVIEWER\tGET\t/dicom-web/studies?PatientID=P-WEB"));
}

TEST_P(WebE2eTest, RetrievesTheStoredBytesFramesAndPictures) {
  ASSERT_TRUE(Start()) << service_.Describe();
  StoreSeries();
  const std::string instance = std::string(kSeries) + ".2";
  const std::string archived = ArchivedFile(instance);
  ASSERT_FALSE(archived.empty());
  const std::string base = std::string("/studies/") + kStudy + "/series/" +
                           kSeries + "/instances/" + instance;

  Answer whole = Get(base, "multipart/related; type=\"application/dicom\"");
  ASSERT_EQ(whole.status, 200) << whole.body;
  EXPECT_THAT(whole.headers, HasSubstr("multipart/related"));
  EXPECT_THAT(whole.body, HasSubstr(ReadFile(archived)));

  Answer study = Get(std::string("/studies/") + kStudy,
                     "multipart/related; type=\"application/dicom\"");
  ASSERT_EQ(study.status, 200);
  size_t parts = 0;
  for (size_t at = study.body.find("Content-Type: application/dicom");
       at != std::string::npos;
       at = study.body.find("Content-Type: application/dicom", at + 1))
    ++parts;
  EXPECT_EQ(parts, 3u);

  Answer metadata = Get(std::string("/studies/") + kStudy + "/metadata",
                        "application/dicom+json");
  ASSERT_EQ(metadata.status, 200) << metadata.body;
  const json items = json::parse(metadata.body);
  ASSERT_EQ(items.size(), 3u);
  for (const json& item : items) {
    ASSERT_TRUE(item.contains("7FE00010")) << item.dump();
    EXPECT_THAT(item["7FE00010"]["BulkDataURI"].get<std::string>(),
                HasSubstr("/frames/1"));
    EXPECT_FALSE(item["7FE00010"].contains("InlineBinary"));
  }

  Answer frame = Get(base + "/frames/1",
                     "multipart/related; type=\"application/octet-stream\"");
  ASSERT_EQ(frame.status, 200) << frame.body;
  // The frame is 64 x 64 pixels of 16 bits with its part's header around.
  EXPECT_GE(frame.body.size(), 64u * 64u * 2u);
  EXPECT_LT(frame.body.size(), 64u * 64u * 2u + 512u);
  EXPECT_EQ(Get(base + "/frames/2",
                "multipart/related; type=\"application/octet-stream\"")
                .status,
            404);

  Answer bulk = Get(base + "/bulk/7FE00010",
                    "multipart/related; type=\"application/octet-stream\"");
  ASSERT_EQ(bulk.status, 200) << bulk.body;
  EXPECT_GE(bulk.body.size(), 64u * 64u * 2u);
  EXPECT_EQ(Get(base + "/bulk/00091010",
                "multipart/related; type=\"application/octet-stream\"")
                .status,
            404);

  Answer rendered = Get(base + "/rendered", "image/jpeg");
  ASSERT_EQ(rendered.status, 200);
  EXPECT_EQ(rendered.body.substr(0, 3), "\xFF\xD8\xFF");
  Answer thumb = Get(std::string("/studies/") + kStudy + "/thumbnail",
                     "image/png");
  ASSERT_EQ(thumb.status, 200);
  EXPECT_EQ(thumb.body.substr(1, 3), "PNG");

  const std::string wado = "/wado?requestType=WADO&studyUID=" +
                           std::string(kStudy) + "&seriesUID=" + kSeries +
                           "&objectUID=" + instance;
  Answer uri_dicom = Get(wado + "&contentType=application%2Fdicom");
  ASSERT_EQ(uri_dicom.status, 200);
  EXPECT_EQ(uri_dicom.body, ReadFile(archived));
  Answer uri_jpeg = Get(wado);
  ASSERT_EQ(uri_jpeg.status, 200);
  EXPECT_EQ(uri_jpeg.body.substr(0, 3), "\xFF\xD8\xFF");
  // Asked in another syntax, the instance is converted, pixels unchanged.
  Answer converted = Get(wado + "&contentType=application%2Fdicom" +
                         "&transferSyntax=1.2.840.10008.1.2.4.80");
  ASSERT_EQ(converted.status, 200) << converted.body;
  const std::string converted_file = work_ + "/converted.dcm";
  std::ofstream(converted_file, std::ios::binary) << converted.body;
  EXPECT_EQ(FileTransferSyntax(converted_file), "1.2.840.10008.1.2.4.80");
  EXPECT_EQ(DecodedPixels(converted_file), DecodedPixels(archived));

  EXPECT_EQ(Get(std::string("/studies/1.2.3.4.5/metadata"),
                "application/dicom+json")
                .status,
            404);
  EXPECT_EQ(Get("/studies/..%2F..%2Fetc/metadata").status, 400);
  EXPECT_EQ(Get(std::string("/studies/") + kStudy + "/metadata", "text/html")
                .status,
            406);
}

TEST_P(WebE2eTest, StoresThroughTheReceptionAndRefusesBadBodies) {
  ASSERT_TRUE(Start({{"HTTPMaxBodyMB", "1"}})) << service_.Describe();
  const std::string series = std::string(kStudy) + ".9";
  const std::vector<std::string> files = Images(series, 2);
  const std::string type =
      "multipart/related; type=\"application/dicom\"; boundary=XyZzY";

  Answer stored = Post("/studies", MultipartBody(files, "XyZzY"), type);
  ASSERT_EQ(stored.status, 200) << stored.body << service_.Describe();
  const json answer = json::parse(stored.body);
  EXPECT_EQ(answer["00081199"]["Value"].size(), 2u);
  EXPECT_FALSE(answer.contains("00081198"));
  ASSERT_TRUE(WaitUntilImported());
  EXPECT_EQ(CountFindResponses({"QueryRetrieveLevel=IMAGE",
                                std::string("StudyInstanceUID=") + kStudy,
                                "SeriesInstanceUID=" + series}),
            2);
  EXPECT_THAT(service_.ReadLog("Receive.log"), HasSubstr(series + ".1"));

  // An instance of another study than the path names is not stored.
  Answer other = Post("/studies/1.2.3.999", MultipartBody({files[0]}, "b1"),
                      "multipart/related; type=\"application/dicom\"; boundary=b1");
  EXPECT_EQ(other.status, 409) << other.body;
  EXPECT_TRUE(json::parse(other.body).contains("00081198"));

  const size_t before = FilesIn(Incoming()).size();
  // Malformed: no closing delimiter, no boundary, the wrong types, too big.
  std::string cut = MultipartBody(files, "XyZzY");
  cut.resize(cut.size() / 3);
  EXPECT_EQ(Post("/studies", cut, type).status, 400);
  EXPECT_EQ(Post("/studies", "--x\r\n\r\nnot dicom\r\n--x--\r\n",
                 "multipart/related; type=\"application/dicom\"")
                .status,
            400);
  EXPECT_EQ(Post("/studies", ReadFile(files[0]), "application/dicom").status,
            415);
  EXPECT_EQ(Post("/studies", "{}", "application/json").status, 415);
  Answer big = Post("/studies", std::string(1536 * 1024, 'x'), type);
  EXPECT_EQ(big.status, 413) << big.output;
  Answer not_dicom = Post("/studies", "--b\r\nContent-Type: application/dicom\r\n\r\n"
                                      "not dicom at all\r\n--b--\r\n",
                          "multipart/related; type=\"application/dicom\"; boundary=b");
  EXPECT_EQ(not_dicom.status, 409) << not_dicom.body;
  EXPECT_EQ(FilesIn(Incoming()).size(), before) << "something was stored";
  // The service still answers.
  EXPECT_EQ(Get("/studies").status, 200);
}

TEST_P(WebE2eTest, LetsInNodesAndPasswordsOnly) {
  ASSERT_TRUE(Start()) << service_.Describe();
  StoreSeries();
  // 127.0.0.2 is no node: without credentials it is asked for them.
  Answer unknown = Get("/studies", "", {"--interface", "127.0.0.2"});
  EXPECT_EQ(unknown.status, 401);
  EXPECT_THAT(unknown.headers, HasSubstr("WWW-Authenticate: Basic"));
  EXPECT_EQ(Get("/studies", "", {"--interface", "127.0.0.2", "-u", "anna:wrong"})
                .status,
            401);
  EXPECT_EQ(Get("/studies", "", {"--interface", "127.0.0.2", "-u", "bob:s3cret"})
                .status,
            401);
  Answer anna =
      Get("/studies", "", {"--interface", "127.0.0.2", "-u", "anna:s3cret"});
  EXPECT_EQ(anna.status, 200) << anna.body;
  EXPECT_EQ(json::parse(anna.body).size(), 1u);
  // A store-only node may store but not read.
  EXPECT_EQ(Get("/studies", "", {"--interface", "127.0.0.3"}).status, 403);
  EXPECT_EQ(Get(std::string("/studies/") + kStudy + "/metadata", "",
                {"--interface", "127.0.0.3"})
                .status,
            403);
  const std::vector<std::string> files = Images(std::string(kStudy) + ".5", 1);
  Answer store = Post("/studies", MultipartBody(files, "bb"),
                      "multipart/related; type=\"application/dicom\"; boundary=bb",
                      {"--interface", "127.0.0.3"});
  EXPECT_EQ(store.status, 200) << store.body;
  const std::string errors = service_.ErrorLog();
  EXPECT_THAT(errors, HasSubstr("Web request from 127.0.0.2 refused (401)"));
  EXPECT_THAT(errors, HasSubstr("Unauthorized access from MODAL3/127.0.0.3"));
  const std::string access = service_.ReadLog("Web" + service_.port_text() + ".log");
  EXPECT_THAT(access, HasSubstr("127.0.0.2\t-\tGET\t/dicom-web/studies\t401"));
  EXPECT_THAT(access, HasSubstr("127.0.0.2\tanna\tGET\t/dicom-web/studies\t200"));
}

TEST_P(WebE2eTest, ServesHttpsWithTheServicesCertificate) {
  const std::string key = archive_.dir() + "/web.key";
  const std::string cert = archive_.dir() + "/web.pem";
  ToolResult made = RunDcmtkTool(
      "openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                  "/CN=127.0.0.1", "-days", "2", "-keyout", key, "-out", cert},
      std::chrono::seconds(60));
  ASSERT_EQ(made.exit_code, 0) << made.output;
  const int https_port = FreeLoopbackPort();
  ASSERT_TRUE(Start({{"HTTPS", std::to_string(https_port)},
                     {"TLSCertificate", cert},
                     {"TLSPrivateKey", key}}))
      << service_.Describe();
  for (int i = 0; i < 100 && !IsListening(https_port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string url =
      "https://127.0.0.1:" + std::to_string(https_port) + "/dicom-web/studies";
  Answer anna = Curl({"--cacert", cert, "--interface", "127.0.0.2", "-u",
                      "anna:s3cret", url});
  EXPECT_EQ(anna.status, 200) << anna.output << service_.ErrorLog();
  EXPECT_EQ(anna.body, "[]");
  Answer nobody = Curl({"--cacert", cert, "--interface", "127.0.0.2", url});
  EXPECT_EQ(nobody.status, 401);
  // Plain HTTP goes on beside it.
  EXPECT_EQ(Get("/studies").status, 200);
}

INSTANTIATE_TEST_SUITE_P(Archive, WebE2eTest, kArchiveBackends,
                         ArchiveBackendName);

}  // namespace
}  // namespace vantor
