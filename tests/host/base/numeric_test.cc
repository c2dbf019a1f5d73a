#include "host/base/numeric.h"

#include <gtest/gtest.h>

#include "host/base/failure.h"

namespace vantor {
namespace {

TEST(NumericTest, TrimRemovesBlanksAndTabsOnlyAtTheEnds) {
  EXPECT_EQ(Trim("  a b \t"), "a b");
  EXPECT_EQ(Trim("\t \t"), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim(" Default"), "Default");
}

TEST(NumericTest, IsNumeric) {
  struct Case {
    const char* text;
    bool numeric;
  };
  const Case cases[] = {
      {"0", true},        {"104", true},       {" -105 ", true},
      {"+7", true},       {"104.5", true},     {".5", true},
      {"5.", true},       {"\t12\t", true},    {"99999999999999999999", true},
      {"", false},        {" ", false},        {"abc", false},
      {"-", false},       {".", false},        {"1.2.3", false},
      {"1 2", false},     {"- 5", false},      {"12a", false},
      {"0x10", false},    {"1e3", false},      {"--1", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsNumeric(c.text), c.numeric) << '"' << c.text << '"';
}

TEST(NumericTest, ToInt32RoundsHalfToEven) {
  struct Case {
    const char* text;
    int32_t value;
  };
  const Case cases[] = {
      {"104", 104},
      {" -105 ", -105},
      {"104.5", 104},
      {"105.5", 106},
      {"104.50000000000000000001", 105},
      {"104.49999999999999999999", 104},
      {"0.5", 0},
      {"1.5", 2},
      {"-0.5", 0},
      {"-2.5", -2},
      {"-3.5", -4},
      {"0.6", 1},
      {".4", 0},
      {"7.", 7},
      {"000000000000000000000042", 42},
      {"2147483647", 2147483647},
      {"2147483647.4", 2147483647},
      {"-2147483648", INT32_MIN},
      {"-2147483648.5", INT32_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(ToInt32(c.text), c.value) << c.text;
}

TEST(NumericTest, ToInt32OverflowsOutsideItsRange) {
  const char* cases[] = {"2147483648", "2147483647.5", "-2147483649",
                         "-2147483648.6", "99999999999999999999",
                         "123456789012345678901234567890.0"};
  for (const char* text : cases) {
    try {
      ToInt32(text);
      ADD_FAILURE() << text << " did not overflow";
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), kOverflow) << text;
      EXPECT_STREQ(f.what(), "Overflow");
    }
  }
}

TEST(NumericTest, ToInt16Range) {
  EXPECT_EQ(ToInt16("32767"), 32767);
  EXPECT_EQ(ToInt16("-32768"), -32768);
  EXPECT_EQ(ToInt16("-32768.5"), -32768);
  EXPECT_EQ(ToInt16("2.5"), 2);
  for (const char* text : {"32768", "32767.5", "-32769", "40000"}) {
    try {
      ToInt16(text);
      ADD_FAILURE() << text << " did not overflow";
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), kOverflow) << text;
    }
  }
}

}  // namespace
}  // namespace vantor
