// Small readers of DICOM JSON (the model QIDO-RS and the metadata answers
// use: { "0020000D": { "vr": "UI", "Value": [...] } }) and of part-10 files.
import dcmjs from 'dcmjs';

// The first value of TAG in a DICOM JSON object (a person name as its
// alphabetic text), or undefined.
export function first(object, tag) {
  const v = object?.[tag]?.Value?.[0];
  if (v && typeof v === 'object' && 'Alphabetic' in v) return v.Alphabetic;
  return v;
}

export const TAG = {
  StudyInstanceUID: '0020000D',
  SeriesInstanceUID: '0020000E',
  SOPInstanceUID: '00080018',
  SOPClassUID: '00080016',
  PatientID: '00100020',
  PatientName: '00100010',
  StudyDate: '00080020',
  Modality: '00080060',
  Rows: '00280010',
  Columns: '00280011',
  SamplesPerPixel: '00280002',
  BitsAllocated: '00280100',
  NumberOfFrames: '00280008',
  PixelData: '7FE00010',
  TransferSyntaxUID: '00020010',
  ReferencedSOPSequence: '00081199',
  FailedSOPSequence: '00081198',
  ReferencedSOPInstanceUID: '00081155',
  FailureReason: '00081197',
};

// A part-10 file (ArrayBuffer or Buffer) read by dcmjs: { dict, meta }.
export function readPart10(bytes) {
  const buffer = bytes instanceof ArrayBuffer
    ? bytes
    : bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  return dcmjs.data.DicomMessage.readFile(buffer);
}

// The UIDs of a part-10 file read by readPart10.
export function uidsOf(part10) {
  return {
    study: first(part10.dict, TAG.StudyInstanceUID),
    series: first(part10.dict, TAG.SeriesInstanceUID),
    sop: first(part10.dict, TAG.SOPInstanceUID),
    transferSyntax: first(part10.meta, TAG.TransferSyntaxUID),
  };
}
