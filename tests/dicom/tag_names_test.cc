// Attribute names of the DICOMweb port: keywords and hexadecimal tags, and
// the dictionary's VRs.
#include "dicom/toolkit/tag_names.h"

#include <gtest/gtest.h>

#include <string>

namespace vantor::dicom {
namespace {

struct Tag {
  uint16_t group = 0xDEAD;
  uint16_t element = 0xBEEF;
};

Tag Named(const std::string& name, bool expect) {
  Tag t;
  EXPECT_EQ(TagForName(name, t.group, t.element), expect) << '"' << name << '"';
  return t;
}

TEST(TagNamesTest, KeywordsOfTheDictionary) {
  Tag t = Named("PatientName", true);
  EXPECT_EQ(t.group, 0x0010);
  EXPECT_EQ(t.element, 0x0010);
  t = Named("StudyInstanceUID", true);
  EXPECT_EQ(t.group, 0x0020);
  EXPECT_EQ(t.element, 0x000D);
  t = Named("ModalitiesInStudy", true);
  EXPECT_EQ(t.group, 0x0008);
  EXPECT_EQ(t.element, 0x0061);
  // A repeating group gives its first group.
  t = Named("OverlayData", true);
  EXPECT_EQ(t.group, 0x6000);
  EXPECT_EQ(t.element, 0x3000);
}

TEST(TagNamesTest, EightHexDigitsInEitherCase) {
  Tag t = Named("00100020", true);
  EXPECT_EQ(t.group, 0x0010);
  EXPECT_EQ(t.element, 0x0020);
  t = Named("0020000d", true);
  EXPECT_EQ(t.element, 0x000D);
  t = Named("7FE00010", true);
  EXPECT_EQ(t.group, 0x7FE0);
  // Private and unknown tags are tags all the same.
  t = Named("0009aBcD", true);
  EXPECT_EQ(t.group, 0x0009);
  EXPECT_EQ(t.element, 0xABCD);
}

TEST(TagNamesTest, AnythingElseIsRefusedAndLeavesTheOutputAlone) {
  for (const char* name :
       {"", "0010002", "001000200", "0010002G", "0010,0020", "(0010,0020)",
        "../etc/passwd", "PatientName/..", "\"PatientName\"", "'PatientName'",
        " PatientName", "PatientName ", "patientname", "PATIENTNAME",
        "NoSuchKeyword", "Patient-Name", "x00100020", "0x100020"}) {
    Tag t = Named(name, false);
    EXPECT_EQ(t.group, 0xDEAD) << name;
    EXPECT_EQ(t.element, 0xBEEF) << name;
  }
  // Text with a NUL inside is not the keyword before it.
  Tag t;
  EXPECT_FALSE(
      TagForName(std::string_view("PatientName\0x", 13), t.group, t.element));
  EXPECT_FALSE(TagForName(std::string(300, 'A'), t.group, t.element));
}

TEST(TagNamesTest, VrFromTheDictionary) {
  EXPECT_EQ(TagVr(0x0010, 0x0010), "PN");
  EXPECT_EQ(TagVr(0x0008, 0x0020), "DA");
  EXPECT_EQ(TagVr(0x0008, 0x0030), "TM");
  EXPECT_EQ(TagVr(0x0020, 0x000D), "UI");
  EXPECT_EQ(TagVr(0x0008, 0x1110), "SQ");
  EXPECT_EQ(TagVr(0x0020, 0x1208), "IS");
  EXPECT_EQ(TagVr(0x0028, 0x0010), "US");
  // A choice of the dictionary comes out as a VR JSON can carry.
  EXPECT_EQ(TagVr(0x7FE0, 0x0010), "OB");
  EXPECT_EQ(TagVr(0x0028, 0x0106), "US");
  // Unknown: private and unassigned tags.
  EXPECT_EQ(TagVr(0x0009, 0x1010), "");
  EXPECT_EQ(TagVr(0x0010, 0x9999), "");
}

}  // namespace
}  // namespace vantor::dicom
