// What the importer takes from an image for the archive's rows.
#include "import/image_record.h"

#include <gtest/gtest.h>

#include "host/base/failure.h"

namespace vantor {
namespace {

dicom::Dataset ImageAttributes() {
  dicom::Dataset ds;
  ds.Put(0x0008, 0x0016, Value("1.2.840.10008.5.1.4.1.1.2"));
  ds.Put(0x0008, 0x0018, Value("1.2.3.4.1"));
  ds.Put(0x0010, 0x0020, Value("P-1"));
  ds.Put(0x0010, 0x0010, Value("Meyer^Anna^Maria"));
  ds.Put(0x0020, 0x000D, Value("1.2.3"));
  ds.Put(0x0020, 0x000E, Value("1.2.3.4"));
  return ds;
}

TEST(ImageRecordTest, ColumnsOfAFullImage) {
  dicom::Dataset ds = ImageAttributes();
  ds.Put(0x0008, 0x0020, Value(Date{2024, 3, 5}));
  ds.Put(0x0008, 0x0030, Value("101530.123"));
  ds.Put(0x0010, 0x0030, Value(Date{1950, 1, 2}));
  ds.Put(0x0020, 0x0013, Value(int64_t{7}));
  ds.Put(0x0020, 0x1041, Value(-12.5));
  ds.Put(0x0008, 0x0050, Value("ACC-0123456789-TOO-LONG"));
  ImageRecord r = RecordOf(ds);
  EXPECT_EQ(r.patient_id, "P-1");
  EXPECT_EQ(r.study_directory, "2024\\1.2.3");
  EXPECT_EQ(r.values["LastName"], Value("Meyer"));
  EXPECT_EQ(r.values["FirstName"], Value("Anna"));
  EXPECT_EQ(r.values["SecondFirstName"], Value("Maria"));
  EXPECT_EQ(r.values["StudyDate"], Value(Date{2024, 3, 5}));
  EXPECT_EQ(r.values["StudyTime"], Value("10:15:30"));
  EXPECT_EQ(r.values["BirthDate"], Value(Date{1950, 1, 2}));
  EXPECT_EQ(r.values["ImageNr"], Value(int64_t{7}));
  EXPECT_EQ(r.values["ImageLocation"], Value(-12.5));
  EXPECT_EQ(r.values["Accession"], Value("ACC-0123456789-T"));  // 16 wide
  EXPECT_TRUE(r.values["Sex"].IsNull());
  EXPECT_TRUE(r.values["SeriesNr"].IsNull());
}

TEST(ImageRecordTest, NamesKeepTheirCaretsInPlace) {
  struct Case {
    const char* name;
    Value last, first, second;
  } cases[] = {
      {"Meyer", Value("Meyer"), Value(), Value()},
      {"Meyer^^Hans", Value("Meyer"), Value(""), Value("Hans")},
      {"Meyer^Anna^^Dr", Value("Meyer"), Value("Anna"), Value()},
      {"Yamada^Tarou=山田^太郎", Value("Yamada"), Value("Tarou"), Value()},
      {"", Value(), Value(), Value()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dicom::Dataset ds = ImageAttributes();
    ds.Put(0x0010, 0x0010, Value(c.name));
    ImageRecord r = RecordOf(ds);
    EXPECT_EQ(r.values["LastName"], c.last);
    EXPECT_EQ(r.values["FirstName"], c.first);
    EXPECT_EQ(r.values["SecondFirstName"], c.second);
  }
}

TEST(ImageRecordTest, TimesInEveryForm) {
  struct Case {
    const char* tm;
    Value column;
  } cases[] = {
      {"101530", Value("10:15:30")},   {"101530.5", Value("10:15:30")},
      {"1015", Value("10:15:00")},     {"10", Value("10:00:00")},
      {"10:15:30", Value("10:15:30")}, {"235960", Value("23:59:59")},
      {"", Value()},                   {"1", Value()},
      {"2515", Value()},               {"ab", Value()},
  };
  for (const Case& c : cases) EXPECT_EQ(TimeColumn(c.tm), c.column) << c.tm;
}

TEST(ImageRecordTest, AnImageTheArchiveCannotFileIsRefused) {
  struct Case {
    uint16_t group, element;
    const char* value;
  } cases[] = {
      {0x0010, 0x0020, ""},             // no Patient ID
      {0x0020, 0x000D, ""},             // no Study Instance UID
      {0x0020, 0x000E, ""},             // no Series Instance UID
      {0x0020, 0x000D, "1.2/../../x"},  // a study UID that is no UID
  };
  for (const Case& c : cases) {
    dicom::Dataset ds = ImageAttributes();
    ds.Put(c.group, c.element, Value(c.value));
    EXPECT_THROW(RecordOf(ds), Failure) << c.group << "," << c.element;
  }
}

TEST(ImageRecordTest, LongTextsAreCutBetweenCharacters) {
  dicom::Dataset ds = ImageAttributes();
  // 63 ASCII letters and an umlaut of two bytes: the umlaut does not fit.
  ds.Put(0x0008, 0x1030, Value(std::string(63, 'a') + "ü"));
  ImageRecord r = RecordOf(ds);
  EXPECT_EQ(r.values["StudyDescription"], Value(std::string(63, 'a')));
}

}  // namespace
}  // namespace vantor
