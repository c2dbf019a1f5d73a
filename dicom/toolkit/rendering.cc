// Rendering with dcmimage (DicomImage) and its JPEG (dcmjpeg's
// DiJPEGPlugin) and PNG (DiPNGPlugin, libpng) writers, which write to a
// C stream: here one in memory (open_memstream).
#include "dicom/toolkit/rendering.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmimgle/dcmimage.h>
#include <dcmtk/dcmjpeg/dipijpeg.h>
// After dcmimage.h, which it needs.
#include <dcmtk/dcmimage/dipipng.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "dicom/toolkit/frames.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/failure.h"

namespace vantor::dicom {
namespace {

// Values longer than this stay on the disk until the frame needs them.
constexpr Uint32 kMaxReadLength = 4096;

[[noreturn]] void CannotRender(const std::string& path,
                               const std::string& why) {
  throw Failure(kPathFileAccessError, path + ": " + why);
}

long NumberOfFrames(DcmItem& ds) {
  OFString text;
  if (ds.findAndGetOFString(DCM_NumberOfFrames, text).bad()) return 1;
  const long n = std::strtol(text.c_str(), nullptr, 10);
  return n > 0 ? n : 1;
}

// What `write` puts into a C stream, as bytes.
template <typename Write>
bool WriteToMemory(Write&& write, std::string& out) {
  char* data = nullptr;
  size_t size = 0;
  FILE* stream = ::open_memstream(&data, &size);
  if (stream == nullptr) return false;
  const bool ok = write(stream);
  const bool closed = ::fclose(stream) == 0;
  if (ok && closed) out.assign(data, size);
  ::free(data);
  return ok && closed;
}

}  // namespace

std::string RenderFrame(const std::string& path, int frame, ImageFormat format,
                        int max_size, int quality) {
  InitializeToolkit();
  DcmFileFormat file;
  OFCondition cond = file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange,
                                   kMaxReadLength, ERM_autoDetect);
  if (cond.bad()) CannotRender(path, cond.text());
  DcmDataset* ds = file.getDataset();
  if (!ds->tagExists(DCM_PixelData))
    throw Failure(kFrameOutOfRange,
                  "Subscript out of range (" + path + ": no pixel data)");
  const long frames = NumberOfFrames(*ds);
  if (frame < 1 || frame > frames)
    throw Failure(kFrameOutOfRange, "Subscript out of range (" + path +
                                        ": no frame " + std::to_string(frame) +
                                        " in " + std::to_string(frames) + ")");

  // Only the frame asked for is read and decoded.
  DicomImage image(ds, ds->getOriginalXfer(), CIF_UsePartialAccessToPixelData,
                   static_cast<unsigned long>(frame - 1), 1);
  if (image.getStatus() != EIS_Normal)
    CannotRender(path, DicomImage::getString(image.getStatus()));
  if (image.isMonochrome()) {
    if (image.getWindowCount() > 0)
      image.setWindow(0);
    else if (image.getVoiLutCount() > 0)
      image.setVoiLut(0);
    else
      image.setMinMaxWindow(0);
  }

  DicomImage* out = &image;
  std::unique_ptr<DicomImage> scaled;
  const unsigned long width = image.getWidth();
  const unsigned long height = image.getHeight();
  if (max_size > 0 && (width > static_cast<unsigned long>(max_size) ||
                       height > static_cast<unsigned long>(max_size))) {
    const double factor = std::min(static_cast<double>(max_size) / width,
                                   static_cast<double>(max_size) / height);
    const unsigned long w = std::max(
        1ul, std::min(static_cast<unsigned long>(max_size),
                      static_cast<unsigned long>(std::lround(width * factor))));
    const unsigned long h = std::max(
        1ul,
        std::min(static_cast<unsigned long>(max_size),
                 static_cast<unsigned long>(std::lround(height * factor))));
    scaled.reset(image.createScaledImage(w, h, /*interpolate=*/1));
    if (scaled == nullptr || scaled->getStatus() != EIS_Normal)
      CannotRender(path, "cannot scale the image");
    out = scaled.get();
  }

  std::string bytes;
  bool ok = false;
  if (format == ImageFormat::kJpeg) {
    DiJPEGPlugin plugin;
    plugin.setQuality(static_cast<unsigned int>(std::clamp(quality, 1, 100)));
    plugin.setSampling(ESS_444);
    ok = WriteToMemory(
        [&](FILE* stream) {
          return out->writePluginFormat(&plugin, stream, 0) != 0;
        },
        bytes);
  } else {
    DiPNGPlugin plugin;
    plugin.setInterlaceType(E_pngInterlaceNone);
    plugin.setMetainfoType(E_pngNoMetainfo);
    plugin.setBitsPerSample(8);
    ok = WriteToMemory(
        [&](FILE* stream) {
          return out->writePluginFormat(&plugin, stream, 0) != 0;
        },
        bytes);
  }
  if (!ok || bytes.empty()) CannotRender(path, "cannot encode the image");
  return bytes;
}

}  // namespace vantor::dicom
