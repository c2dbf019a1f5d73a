// Frame access with DCMTK: DcmPixelData::getUncompressedFrame decodes (or,
// for native pixel data, reads) one frame at a time; for frames as stored,
// the fragments of each frame are found from the offset tables, one
// fragment per frame, or the JPEG start-of-image markers.
#include "dicom/toolkit/frames.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfcache.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <algorithm>
#include <cstdlib>

#include "dicom/toolkit/toolkit.h"
#include "dicom/toolkit/dataset_impl.h"
#include "host/base/failure.h"

namespace vantor::dicom {
namespace {

// Values longer than this stay on the disk until a frame needs them.
constexpr Uint32 kMaxReadLength = 4096;

[[noreturn]] void Unreadable(const std::string& path, const std::string& why) {
  throw Failure(kPathFileAccessError, path + ": " + why);
}

[[noreturn]] void NotThere(const std::string& path, const std::string& why) {
  throw Failure(kFrameOutOfRange,
                "Subscript out of range (" + path + ": " + why + ")");
}

long NumberOfFrames(DcmItem& ds) {
  OFString text;
  if (ds.findAndGetOFString(DCM_NumberOfFrames, text).bad()) return 1;
  const long n = std::strtol(text.c_str(), nullptr, 10);
  return n > 0 ? n : 1;
}

Uint16 U16(DcmItem& ds, const DcmTagKey& key) {
  Uint16 v = 0;
  ds.findAndGetUint16(key, v);
  return v;
}

// Rows * Columns * Samples per Pixel * Bits Allocated / 8, in bytes.
size_t DecodedFrameSize(DcmItem& ds) {
  const size_t bits = static_cast<size_t>(U16(ds, DCM_Rows)) *
                      U16(ds, DCM_Columns) *
                      std::max<Uint16>(1, U16(ds, DCM_SamplesPerPixel)) *
                      U16(ds, DCM_BitsAllocated);
  return (bits + 7) / 8;
}

std::string Fragment(const std::string& path, DcmPixelItem& item, Uint32 length,
                     DcmFileCache& cache) {
  std::string bytes(length, '\0');
  if (length > 0 &&
      item.getPartialValue(bytes.data(), 0, length, &cache, EBO_LittleEndian)
          .bad())
    Unreadable(path, "cannot read the pixel data");
  return bytes;
}

uint64_t LittleEndian(const std::string& bytes, size_t at, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i)
    v |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i]))
         << (8 * i);
  return v;
}

// The item (from 1; item 0 is the basic offset table) each frame starts at,
// from byte offsets relative to the first fragment's item tag; empty when
// an offset falls on no item start.
std::vector<unsigned long> StartsFromOffsets(
    DcmPixelSequence& seq, const std::vector<uint64_t>& offsets) {
  std::vector<unsigned long> starts;
  uint64_t position = 0;
  size_t next = 0;
  for (unsigned long i = 1; i < seq.card() && next < offsets.size(); ++i) {
    DcmPixelItem* item = nullptr;
    if (seq.getItem(item, i).bad() || item == nullptr) return {};
    while (next < offsets.size() && offsets[next] == position) {
      starts.push_back(i);
      ++next;
    }
    position += 8 + static_cast<uint64_t>(item->getLength());
  }
  if (starts.size() != offsets.size()) return {};
  return starts;
}

// The first item of each frame of `seq`: empty when it cannot be told.
std::vector<unsigned long> FrameStarts(const std::string& path, DcmItem& ds,
                                       DcmPixelSequence& seq, long frames,
                                       DcmFileCache& cache) {
  const unsigned long fragments = seq.card() > 0 ? seq.card() - 1 : 0;
  std::vector<unsigned long> starts;
  if (fragments == 0) return starts;
  if (frames == 1) return {1};
  if (fragments == static_cast<unsigned long>(frames)) {
    for (long f = 0; f < frames; ++f) starts.push_back(f + 1);
    return starts;
  }
  // The extended offset table (64-bit offsets), else the basic one.
  std::vector<uint64_t> offsets;
  DcmElement* extended = nullptr;
  if (ds.findAndGetElement(DCM_ExtendedOffsetTable, extended, OFFalse).good() &&
      extended != nullptr && extended->getLength() == 8u * frames) {
    std::string bytes(extended->getLength(), '\0');
    if (extended
            ->getPartialValue(bytes.data(), 0, extended->getLength(), &cache,
                              EBO_LittleEndian)
            .good())
      for (long f = 0; f < frames; ++f)
        offsets.push_back(LittleEndian(bytes, 8 * f, 8));
  }
  DcmPixelItem* table = nullptr;
  if (offsets.empty() && seq.getItem(table, 0).good() && table != nullptr &&
      table->getLength() == 4u * frames) {
    const std::string bytes = Fragment(path, *table, table->getLength(), cache);
    for (long f = 0; f < frames; ++f)
      offsets.push_back(LittleEndian(bytes, 4 * f, 4));
  }
  if (!offsets.empty()) {
    starts = StartsFromOffsets(seq, offsets);
    if (!starts.empty()) return starts;
  }
  // JPEG and JPEG-LS: each frame starts with a start-of-image marker.
  for (unsigned long i = 1; i < seq.card(); ++i) {
    DcmPixelItem* item = nullptr;
    if (seq.getItem(item, i).bad() || item == nullptr) return {};
    if (item->getLength() < 2) continue;
    const std::string head = Fragment(path, *item, 2, cache);
    if (head[0] == '\xFF' && head[1] == '\xD8') starts.push_back(i);
  }
  if (starts.size() != static_cast<size_t>(frames) || starts[0] != 1) return {};
  return starts;
}

}  // namespace

Frames ReadFrames(const std::string& path, const std::vector<int>& numbers,
                  bool as_stored) {
  InitializeToolkit();
  DcmFileFormat file;
  OFCondition cond = file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange,
                                   kMaxReadLength, ERM_autoDetect);
  if (cond.bad()) Unreadable(path, cond.text());
  DcmDataset& ds = *file.getDataset();
  DcmElement* element = nullptr;
  if (ds.findAndGetElement(DCM_PixelData, element, OFFalse).bad() ||
      element == nullptr || element->ident() != EVR_PixelData)
    NotThere(path, "no pixel data");
  auto& pixels = static_cast<DcmPixelData&>(*element);
  const long frames = NumberOfFrames(ds);
  if (numbers.empty()) NotThere(path, "no frame asked for");
  for (int n : numbers)
    if (n < 1 || n > frames)
      NotThere(path, "no frame " + std::to_string(n) + " in " +
                         std::to_string(frames));

  const std::string syntax = LoadedFileSyntax(file);
  E_TransferSyntax rep = EXS_Unknown;
  const DcmRepresentationParameter* param = nullptr;
  pixels.getOriginalRepresentationKey(rep, param);
  const bool encapsulated = DcmXfer(rep).isEncapsulated();
  DcmPixelSequence* seq = nullptr;
  if (encapsulated &&
      (pixels.getEncapsulatedRepresentation(rep, param, seq).bad() ||
       seq == nullptr))
    Unreadable(path, "cannot read the pixel data");

  DcmFileCache cache;
  Frames out;
  std::vector<unsigned long> starts;
  if (encapsulated) {
    starts = FrameStarts(path, ds, *seq, frames, cache);
    if (as_stored && starts.empty())
      Unreadable(path, "cannot tell the fragments of the frames apart");
  }

  if (as_stored && encapsulated) {
    out.transfer_syntax = syntax;
    for (int n : numbers) {
      const unsigned long first = starts[n - 1];
      const unsigned long end =
          n < frames ? starts[n] : static_cast<unsigned long>(seq->card());
      std::string frame;
      for (unsigned long i = first; i < end; ++i) {
        DcmPixelItem* item = nullptr;
        if (seq->getItem(item, i).bad() || item == nullptr)
          Unreadable(path, "cannot read the pixel data");
        frame += Fragment(path, *item, item->getLength(), cache);
      }
      out.data.push_back(std::move(frame));
    }
    return out;
  }

  // Decoded (or, native, read) one frame at a time.
  out.transfer_syntax = UID_LittleEndianExplicitTransferSyntax;
  if (!encapsulated && as_stored &&
      (syntax == UID_LittleEndianImplicitTransferSyntax ||
       syntax == UID_LittleEndianExplicitTransferSyntax))
    out.transfer_syntax = syntax;
  Uint32 dcmtk_size = 0;
  if (pixels.getUncompressedFrameSize(&ds, dcmtk_size).bad() || dcmtk_size == 0)
    Unreadable(path, "cannot tell the size of a frame");
  // Native frames are as long as they are stored; a decoded colour frame
  // has every sample of every pixel.
  const size_t size = encapsulated ? DecodedFrameSize(ds) : dcmtk_size;
  const size_t buffer_size =
      (std::max<size_t>(size, dcmtk_size) + 1) & ~size_t{1};
  for (int n : numbers) {
    std::string frame(buffer_size, '\0');
    Uint32 start = encapsulated && !starts.empty()
                       ? static_cast<Uint32>(starts[n - 1])
                       : 0;
    OFString color_model;
    cond = pixels.getUncompressedFrame(
        &ds, static_cast<Uint32>(n - 1), start, frame.data(),
        static_cast<Uint32>(buffer_size), color_model, &cache);
    if (cond.bad())
      Unreadable(path, "cannot decode frame " + std::to_string(n) + ": " +
                           cond.text());
    frame.resize(size);
    out.data.push_back(std::move(frame));
  }
  return out;
}

}  // namespace vantor::dicom
