// The private RENAMER and KEYSTUDY event reports.
//
// Event 10 carries a command block in the private group 0019:
//   (0019,0010) command word, compared in upper case
//   (0019,0020) RENAMER: the database servers, separated by ";"
//   (0019,0030) RENAMER: the Study Instance UID to withdraw (status -1)
//   (0019,0011) KEYSTUDY: the new key-study value, a whole number
// KEYSTUDY works on the dataset's Study Instance UID and the DBServer
// database. Every update runs on a connection of its own.
//
// Only callers that the node table knows (AE title and address) and that
// are not store-only have their event reports carried out; others are
// refused with 0124 (not authorized), a failed lookup gives 0110, and
// nothing is changed. RENAMER connects only to the servers of the
// EventServers allow-list.
#ifndef VANTOR_RETRIEVE_EVENT_REPORT_H_
#define VANTOR_RETRIEVE_EVENT_REPORT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/toolkit/toolkit.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/log.h"

namespace vantor {

// The server names of a RENAMER list, as written (not trimmed); an empty
// text gives none.
std::vector<std::string> SplitServerList(const std::string& text);

// The server to connect to for the RENAMER entry `server`: the allow-list
// entry written exactly like it, else the one equal to it once blanks are
// trimmed from both (a list written "a; b" holds " b"); the entry is given
// trimmed. Nothing when the allow-list holds no such entry.
std::optional<std::string> AllowedEventServer(
    const std::string& server, const std::vector<std::string>& allowed);

// "UPDATE tblstudies SET FkeyStatusID = -1 WHERE StudyUID = '<uid>'".
std::string RenamerStatement(std::string_view study_uid);

// "UPDATE tblstudies set KeyStudy = <value> WHERE StudyUID = '<uid>'".
// REQUIRES: `key_study` is a whole number.
std::string KeyStudyStatement(std::string_view key_study,
                              std::string_view study_uid);

// Whether `text` is a whole number: an optional sign and 1 to 18 digits.
bool IsWholeNumber(std::string_view text);

// `Status` as left is the N-EVENT-REPORT response status: 0124 for a caller
// that is not authorised, 0110 when the caller could not be looked up or an
// update failed, was not allowed or could not be made, otherwise as it came
// (0000). Its lines go to `log`.
// The caller is looked up on a connection from `connections` when given.
void DCMServer_EventReport(const Config& config, const Log& log,
                           const dicom::Connection& Connection,
                           uint16_t EventID, const dicom::Dataset& dataset,
                           uint16_t& Status,
                           ConnectionPool* connections = nullptr);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_EVENT_REPORT_H_
