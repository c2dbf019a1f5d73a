// Storage Commitment (push model): who may ask, and which of the instances a
// request names the service holds durably.
//
// An instance is committed when its file is in the incoming folder under
// its final name (<uid>.dcm, <uid>.dcm.ren, or failed/<uid>.dcm, where the
// importer keeps what it could not index), or when tblImages has a row with
// its ImageUID. The folder is looked at first: the importer links a file
// into the archive and commits its rows before it removes it from the
// folder, so an image on its way is found in one place or the other.
#ifndef VANTOR_RETRIEVE_STORAGE_COMMITMENT_H_
#define VANTOR_RETRIEVE_STORAGE_COMMITMENT_H_

#include <string>
#include <string_view>

#include "dicom/toolkit/toolkit.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/log.h"

namespace vantor {

// Whether the image `uid` lies in the incoming folder `folder` (a path of
// this file system, ending in "/") as a file of one of the final names.
// REQUIRES: IsFileNameUid(uid).
bool InIncomingFolder(const std::string& folder, const std::string& uid);

// "SELECT ImageUID, SOPClassUID FROM tblImages WHERE ImageUID = '<uid>'".
std::string CommittedImageStatement(std::string_view uid);

// Whether the caller may ask: like a C-FIND, a node of the node table by
// AE title (trimmed) and address that is not store-only. Status 0000 with
// the report's destination (the node's IPAdress and IPPort, its CallingAET
// as the called AE title, else its AET; TLS when its UseTLS says so, with
// the instance's TLS files) and our own AE title as calling and Retrieve
// AE title; 0124 for an unknown or store-only caller, 0110 when the lookup
// failed, each with an error-log line. Writes the request's debug line.
// Its lines go to `log`. The connection comes from `connections` when
// given. Never throws.
dicom::CommitmentAcceptance AcceptCommitmentRequest(
    const Config& config, const Log& log, const dicom::Connection& connection,
    const dicom::CommitmentRequest& request,
    ConnectionPool* connections = nullptr);

// Every reference of `request` in one list of the outcome: committed when
// found (folder first, then the database on DBServer); failed with 0112
// when not found or its UID cannot name a file, 0119 when the archive
// holds it under another SOP class, 0110 when the database could not be
// asked (with one error-log line in `log`). The connection comes from
// `connections` when given. Never throws.
dicom::CommitmentOutcome DecideCommitment(
    const Config& config, const Log& log,
    const dicom::CommitmentRequest& request,
    ConnectionPool* connections = nullptr);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_STORAGE_COMMITMENT_H_
