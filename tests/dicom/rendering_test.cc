// Rendered frames: the VOI window of the file or one over the frame's
// values, the frame asked for, the size limit, colour as it is; the PNGs
// decoded again with libpng to look at their pixels.
#include "dicom/toolkit/rendering.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "dicom/toolkit/frames.h"
#include "host/base/failure.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"

namespace vantor::dicom {
namespace {

using ::testing::HasSubstr;

struct Decoded {
  int width = 0;
  int height = 0;
  int color_type = -1;  // of the file: 0 grey, 2 RGB
  std::vector<uint8_t> pixels;
};

// Decodes a PNG to 8-bit grey (channels 1) or RGB (channels 3).
Decoded DecodePng(const std::string& bytes, int channels) {
  Decoded out;
  if (bytes.size() < 26 || bytes.compare(1, 3, "PNG") != 0) return out;
  out.color_type = static_cast<unsigned char>(bytes[25]);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
    return out;
  image.format = channels == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
    out.pixels.clear();
    return out;
  }
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  return out;
}

// Width and height from a JPEG's start-of-frame marker.
std::pair<int, int> JpegSize(const std::string& jpeg) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    const unsigned char m = static_cast<unsigned char>(jpeg[i + 1]);
    if (static_cast<unsigned char>(jpeg[i]) == 0xFF && m >= 0xC0 && m <= 0xC2) {
      auto byte = [&](size_t k) { return static_cast<unsigned char>(jpeg[k]); };
      return {byte(i + 7) << 8 | byte(i + 8), byte(i + 5) << 8 | byte(i + 6)};
    }
  }
  return {0, 0};
}

std::vector<uint16_t> Values16(const std::string& bytes) {
  std::vector<uint16_t> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<uint16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   static_cast<unsigned char>(bytes[2 * i + 1])
                                       << 8);
  return out;
}

// DICOM's linear VOI function (window centre and width) to 8 bits.
double Linear(double x, double center, double width) {
  const double low = center - 0.5 - (width - 1) / 2;
  const double high = center - 0.5 + (width - 1) / 2;
  if (x <= low) return 0;
  if (x > high) return 255;
  return ((x - (center - 0.5)) / (width - 1) + 0.5) * 255;
}

int FailureNumber(const std::string& path, int frame) {
  try {
    RenderFrame(path, frame, ImageFormat::kPng, 0, 90);
  } catch (const Failure& f) {
    return f.number();
  }
  return 0;
}

class RenderingTest : public ::testing::Test {
 protected:
  std::string Write(const TestImage& image, const std::string& name) {
    const std::string path = folder_.Path(name);
    WriteTestImage(path, image);
    return path;
  }

  TempFolder folder_{"render"};
};

TEST_F(RenderingTest, MonochromeWithoutAWindowSpansItsValues) {
  const TestImage image;  // 64 x 64, 16 bits
  const std::string path = Write(image, "mono.dcm");
  const Decoded png =
      DecodePng(RenderFrame(path, 1, ImageFormat::kPng, 0, 90), 1);
  ASSERT_EQ(png.width, 64);
  ASSERT_EQ(png.height, 64);
  EXPECT_EQ(png.color_type, 0);  // grey
  const std::vector<uint16_t> values = Values16(TestImagePixelBytes(image));
  const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  int worst = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    const double want = (values[i] - *lo) * 255.0 / (*hi - *lo);
    worst = std::max(
        worst, static_cast<int>(std::lround(std::abs(png.pixels[i] - want))));
  }
  EXPECT_LE(worst, 2);
  EXPECT_EQ(*std::min_element(png.pixels.begin(), png.pixels.end()), 0);
  EXPECT_EQ(*std::max_element(png.pixels.begin(), png.pixels.end()), 255);
}

TEST_F(RenderingTest, MonochromeThroughTheFilesFirstWindow) {
  TestImage image;
  image.extra = {{"WindowCenter", "30000\\1000"}, {"WindowWidth", "8000\\50"}};
  const std::string path = Write(image, "window.dcm");
  const Decoded png =
      DecodePng(RenderFrame(path, 1, ImageFormat::kPng, 0, 90), 1);
  ASSERT_EQ(png.pixels.size(), 64u * 64);
  const std::vector<uint16_t> values = Values16(TestImagePixelBytes(image));
  int worst = 0, black = 0, white = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    const double want = Linear(values[i], 30000, 8000);
    worst = std::max(
        worst, static_cast<int>(std::lround(std::abs(png.pixels[i] - want))));
    black += png.pixels[i] == 0;
    white += png.pixels[i] == 255;
  }
  EXPECT_LE(worst, 2);
  // Most values lie outside the narrow window.
  EXPECT_GT(black + white, 3000);
}

TEST_F(RenderingTest, TheFrameAskedForOfAMultiFrameImageCompressedOrNot) {
  TestImage image;
  image.rows = 16;
  image.columns = 16;
  image.frames = 3;
  const std::string native = Write(image, "native.dcm");
  image.transfer_syntax = "1.2.840.10008.1.2.4.80";
  const std::string jpegls = Write(image, "jpegls.dcm");
  for (int frame = 1; frame <= 3; ++frame) {
    SCOPED_TRACE(frame);
    // The same pixels rendered the same way, whatever the file's syntax.
    const std::string a = RenderFrame(native, frame, ImageFormat::kPng, 0, 90);
    EXPECT_EQ(a, RenderFrame(jpegls, frame, ImageFormat::kPng, 0, 90));
    if (frame > 1) {
      EXPECT_NE(a, RenderFrame(native, frame - 1, ImageFormat::kPng, 0, 90));
    }
  }
  EXPECT_EQ(FailureNumber(native, 0), kFrameOutOfRange);
  EXPECT_EQ(FailureNumber(native, 4), kFrameOutOfRange);
  EXPECT_EQ(FailureNumber(jpegls, 4), kFrameOutOfRange);
}

TEST_F(RenderingTest, ColourAsItIs) {
  TestImage image;
  image.rows = 20;
  image.columns = 30;
  image.bits_allocated = 8;
  image.samples_per_pixel = 3;
  const std::string path = Write(image, "rgb.dcm");
  const Decoded png =
      DecodePng(RenderFrame(path, 1, ImageFormat::kPng, 0, 90), 3);
  EXPECT_EQ(png.color_type, 2);  // RGB
  ASSERT_EQ(png.width, 30);
  ASSERT_EQ(png.height, 20);
  const std::string want = TestImagePixelBytes(image);
  EXPECT_TRUE(std::equal(
      png.pixels.begin(), png.pixels.end(), want.begin(), want.end(),
      [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
  const std::string jpeg = RenderFrame(path, 1, ImageFormat::kJpeg, 0, 90);
  EXPECT_EQ(JpegSize(jpeg), std::make_pair(30, 20));
}

TEST_F(RenderingTest, ScaledDownToTheLimitWithTheAspectKept) {
  TestImage image;
  image.rows = 32;
  image.columns = 64;
  const std::string path = Write(image, "wide.dcm");
  struct Case {
    int max_size, width, height;
  };
  for (const Case& c : {Case{16, 16, 8}, Case{50, 50, 25}, Case{64, 64, 32},
                        Case{500, 64, 32}, Case{0, 64, 32}}) {
    SCOPED_TRACE(c.max_size);
    const Decoded png =
        DecodePng(RenderFrame(path, 1, ImageFormat::kPng, c.max_size, 90), 1);
    EXPECT_EQ(png.width, c.width);
    EXPECT_EQ(png.height, c.height);
    const std::string jpeg =
        RenderFrame(path, 1, ImageFormat::kJpeg, c.max_size, 90);
    EXPECT_EQ(JpegSize(jpeg), std::make_pair(c.width, c.height));
  }
}

TEST_F(RenderingTest, JpegIsAWholeFileOfTheQualityAsked) {
  const std::string path = Write(TestImage{}, "mono.dcm");
  const std::string best = RenderFrame(path, 1, ImageFormat::kJpeg, 0, 95);
  const std::string poor = RenderFrame(path, 1, ImageFormat::kJpeg, 0, 10);
  for (const std::string& jpeg : {best, poor}) {
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
    EXPECT_EQ(JpegSize(jpeg), std::make_pair(64, 64));
  }
  EXPECT_LT(poor.size(), best.size());
}

TEST_F(RenderingTest, NoImageIsFailure9AndNoFileFailure75) {
  const std::string report = folder_.Path("report.dcm");
  {
    DcmFileFormat file;
    file.getDataset()->putAndInsertString(DCM_SOPClassUID,
                                          "1.2.840.10008.5.1.4.1.1.88.11");
    file.getDataset()->putAndInsertString(DCM_SOPInstanceUID, "1.2.3");
    ASSERT_TRUE(file.saveFile(report.c_str(), EXS_LittleEndianExplicit).good());
  }
  EXPECT_EQ(FailureNumber(report, 1), kFrameOutOfRange);
  EXPECT_EQ(FailureNumber(folder_.Path("missing.dcm"), 1), 75);
}

}  // namespace
}  // namespace vantor::dicom
