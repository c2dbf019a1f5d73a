// vantor-event: sends one N-EVENT-REPORT with the private command block to a
// DICOM node and prints the response status.
//
//   vantor-event [options] HOST PORT
//     --aet AET            calling AE title (default VANTOR-EVENT)
//     --aec AET            called AE title (default ANY-SCP)
//     --event-id N         event type ID (default 10)
//     --command TEXT       (0019,0010), e.g. RENAMER or KEYSTUDY
//     --servers TEXT       (0019,0020), database servers separated by ";"
//     --renamer-uid UID    (0019,0030), the study RENAMER withdraws
//     --key-study VALUE    (0019,0011), the new key-study value
//     --study-uid UID      (0020,000D), the study KEYSTUDY marks
//
// Only the elements given are sent. The event arrives on the Storage
// Commitment Push Model class. Prints "Status: XXXX" (hexadecimal) and exits
// with 0 once a response came, 1 when none did, 2 for a wrong command line.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmnet/scu.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

// The well-known instance of the Storage Commitment Push Model class.
constexpr char kCommitmentInstance[] = "1.2.840.10008.1.20.1.1";

struct Options {
  std::string aet = "VANTOR-EVENT";
  std::string aec = "ANY-SCP";
  int event_id = 10;
  std::vector<std::pair<DcmTagKey, std::string>> elements;
  std::string host;
  int port = 0;
};

int Usage() {
  std::cerr << "usage: vantor-event [--aet AET] [--aec AET] [--event-id N] "
               "[--command TEXT] [--servers TEXT] [--renamer-uid UID] "
               "[--key-study VALUE] [--study-uid UID] HOST PORT\n";
  return 2;
}

bool ParseNumber(const std::string& text, int low, int high, int& out) {
  char* end = nullptr;
  long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < low || n > high) return false;
  out = static_cast<int>(n);
  return true;
}

bool Parse(int argc, char** argv, Options& o) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!arg.starts_with("--")) {
      positional.push_back(arg);
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (arg == "--aet") {
      o.aet = value;
    } else if (arg == "--aec") {
      o.aec = value;
    } else if (arg == "--event-id") {
      if (!ParseNumber(value, 0, 65535, o.event_id)) return false;
    } else if (arg == "--command") {
      o.elements.emplace_back(DcmTagKey(0x0019, 0x0010), value);
    } else if (arg == "--servers") {
      o.elements.emplace_back(DcmTagKey(0x0019, 0x0020), value);
    } else if (arg == "--renamer-uid") {
      o.elements.emplace_back(DcmTagKey(0x0019, 0x0030), value);
    } else if (arg == "--key-study") {
      o.elements.emplace_back(DcmTagKey(0x0019, 0x0011), value);
    } else if (arg == "--study-uid") {
      o.elements.emplace_back(DCM_StudyInstanceUID, value);
    } else {
      return false;
    }
  }
  if (positional.size() != 2) return false;
  o.host = positional[0];
  return ParseNumber(positional[1], 1, 65535, o.port);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) return Usage();

  DcmDataset dataset;
  for (const auto& [key, value] : o.elements) {
    // The command block's elements are sent as LO, whatever their length.
    DcmTag tag(key);
    if (key.getGroup() == 0x0019) tag.setVR(DcmVR(EVR_LO));
    if (dataset.putAndInsertString(tag, value.c_str()).bad()) {
      std::cerr << "cannot put " << key.toString().c_str() << "\n";
      return 1;
    }
  }

  DcmSCU scu;
  scu.setAETitle(o.aet.c_str());
  scu.setPeerAETitle(o.aec.c_str());
  scu.setPeerHostName(o.host.c_str());
  scu.setPeerPort(static_cast<Uint16>(o.port));
  scu.setACSETimeout(30);
  scu.setDIMSETimeout(120);
  scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
  OFList<OFString> syntaxes;
  syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
  syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
  scu.addPresentationContext(UID_StorageCommitmentPushModelSOPClass, syntaxes);
  OFCondition cond = scu.initNetwork();
  if (cond.good()) cond = scu.negotiateAssociation();
  if (cond.bad()) {
    std::cerr << "association failed: " << cond.text() << "\n";
    return 1;
  }
  T_ASC_PresentationContextID pres_id =
      scu.findPresentationContextID(UID_StorageCommitmentPushModelSOPClass, "");
  if (pres_id == 0) {
    std::cerr << "the Storage Commitment Push Model class was refused\n";
    scu.releaseAssociation();
    return 1;
  }
  Uint16 status = 0;
  cond = scu.sendEVENTREPORTRequest(pres_id, kCommitmentInstance,
                                    static_cast<Uint16>(o.event_id), &dataset,
                                    status);
  if (cond.bad()) {
    std::cerr << "N-EVENT-REPORT failed: " << cond.text() << "\n";
    scu.abortAssociation();
    return 1;
  }
  std::printf("Status: %04X\n", status);
  scu.releaseAssociation();
  return 0;
}
