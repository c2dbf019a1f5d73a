#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <gtest/gtest.h>

#include "dicom/toolkit/dataset_impl.h"
#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {
namespace {

TEST(DatasetTest, ValuesComeBackTyped) {
  Dataset d;
  d.Put(0x0010, 0x0010, "Muster^Hans");
  d.Put(0x0008, 0x0020, Date{2024, 3, 7});          // DA
  d.Put(0x0020, 0x0013, 12);                        // IS
  d.Put(0x0028, 0x0010, 512);                       // US
  d.Put(0x0018, 0x0050, 2.5);                       // DS
  d.Put(0x0008, 0x0030, DateTime{{2024, 3, 7}, 9, 5, 1});  // TM

  EXPECT_EQ(d.Get(0x0010, 0x0010), Value("Muster^Hans"));
  EXPECT_EQ(d.Get(0x0008, 0x0020), Value(Date{2024, 3, 7}));
  EXPECT_EQ(d.Get(0x0020, 0x0013), Value(int64_t{12}));
  EXPECT_EQ(d.Get(0x0028, 0x0010), Value(int64_t{512}));
  EXPECT_EQ(d.Get(0x0018, 0x0050), Value(2.5));
  EXPECT_EQ(d.GetText(0x0008, 0x0030), "090501");
  EXPECT_EQ(d.PatientName(), "Muster^Hans");
}

TEST(DatasetTest, AbsentEmptyRangesAndListsAreNotMistyped) {
  Dataset d;
  d.Put(0x0010, 0x0020, Value());              // present, empty
  d.Put(0x0008, 0x0020, "20240101-20241231");  // a range stays text
  d.Put(0x0020, 0x000D, "1.2.3\\1.2.4");       // a UID list stays text
  EXPECT_TRUE(d.Has(0x0010, 0x0020));
  EXPECT_TRUE(d.Get(0x0010, 0x0020).IsNull());
  EXPECT_FALSE(d.Has(0x0010, 0x0030));
  EXPECT_TRUE(d.Get(0x0010, 0x0030).IsNull());
  EXPECT_EQ(d.Get(0x0008, 0x0020), Value("20240101-20241231"));
  EXPECT_EQ(d.StudyInstanceUID(), "1.2.3\\1.2.4");
}

TEST(DatasetTest, PutReplacesAndPaddingIsRemoved) {
  Dataset d;
  d.Put(0x0010, 0x0020, "  ID 7  ");
  d.Put(0x0010, 0x0020, "ID8 ");
  EXPECT_EQ(d.PatientID(), "ID8");
  auto all = d.Enumerate();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].group, 0x0010);
  EXPECT_EQ(all[0].element, 0x0020);
}

TEST(DatasetTest, PrivateAttributesReadAsText) {
  Dataset d;
  d.Put(0x0019, 0x0010, "RENAMER");
  EXPECT_EQ(d.GetText(0x0019, 0x0010), "RENAMER");
}

TEST(DatasetTest, CopiesAreIndependent) {
  Dataset a;
  a.Put(0x0010, 0x0010, "A");
  Dataset b = a;
  b.Put(0x0010, 0x0010, "B");
  EXPECT_EQ(a.PatientName(), "A");
  EXPECT_EQ(b.PatientName(), "B");
}

TEST(CharacterSetTest, LatinIdentifierIsDecodedAndAnsweredInLatin) {
  DcmDataset ds;
  ds.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100");
  ds.putAndInsertString(DCM_PatientName, "M\xFCller^J\xFCrgen");  // Latin-1
  EXPECT_EQ(DecodeToUtf8(ds), "ISO_IR 100");
  Dataset d = FromDcmDataset(ds);
  EXPECT_EQ(d.PatientName(), "M\xC3\xBCller^J\xC3\xBCrgen");

  DcmDataset out(d.impl().ds);
  EncodeFromUtf8(out, "ISO_IR 100");
  OFString cs, name;
  out.findAndGetOFString(DCM_SpecificCharacterSet, cs);
  out.findAndGetOFString(DCM_PatientName, name);
  EXPECT_EQ(std::string(cs.c_str()), "ISO_IR 100");
  EXPECT_EQ(std::string(name.c_str()), "M\xFCller^J\xFCrgen");
}

TEST(CharacterSetTest, ValueTheRequestersSetCannotHoldIsSentAsUtf8) {
  Dataset d;
  d.Put(0x0010, 0x0010, "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD");  // Cyrillic
  DcmDataset latin(d.impl().ds);
  EncodeFromUtf8(latin, "ISO_IR 100");
  OFString cs;
  latin.findAndGetOFString(DCM_SpecificCharacterSet, cs);
  EXPECT_EQ(std::string(cs.c_str()), "ISO_IR 192");
  OFString name;
  latin.findAndGetOFString(DCM_PatientName, name);
  EXPECT_EQ(std::string(name.c_str()), "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD");

  DcmDataset ascii(d.impl().ds);
  EncodeFromUtf8(ascii, "");
  ascii.findAndGetOFString(DCM_SpecificCharacterSet, cs);
  EXPECT_EQ(std::string(cs.c_str()), "ISO_IR 192");
}

TEST(CharacterSetTest, AsciiAnswerKeepsTheDefaultRepertoire) {
  Dataset d;
  d.Put(0x0010, 0x0010, "Smith^John");
  DcmDataset out(d.impl().ds);
  EncodeFromUtf8(out, "");
  EXPECT_FALSE(out.tagExists(DCM_SpecificCharacterSet));
}

}  // namespace
}  // namespace vantor::dicom
