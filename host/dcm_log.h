// The DICOM protocol log: the toolkit collects the network layer's entries in
// memory while it runs; DcmLogWrite moves them to Logs/DicomVantor<port>.log.
// Each procedure logs its own failures and never throws.
#ifndef VANTOR_HOST_DCM_LOG_H_
#define VANTOR_HOST_DCM_LOG_H_

namespace vantor {

// Starts collecting with the current Dicomloglength and Dicomloglevel.
void DcmLogStart();

// Writes the pending entries, then stops collecting.
void DcmLogStop();

// Appends the pending entries (one block ending in CR LF) to the protocol log
// file and removes them from the toolkit; when the file cannot be written
// they stay for the next call.
void DcmLogWrite();

// Whether the protocol log is collecting.
bool DcmLogStatus();

}  // namespace vantor

#endif  // VANTOR_HOST_DCM_LOG_H_
