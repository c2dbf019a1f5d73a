#include "host/base/registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/test_env.h"

namespace vantor {
namespace {

constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kDefaultKey = "Software\\Tavik\\Kelmora\\ Default";
constexpr const char* kInstanceKey = "Software\\Tavik\\Kelmora\\Vantor\\01";

// The file text regedit would write: header, blank line, blocks, CR LF.
std::string RegFile(const std::string& header, const std::string& body) {
  std::string text = header + "\r\n\r\n";
  for (char c : body) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return text;
}

// UTF-8 (well-formed) to UTF-16LE with its BOM, as regedit writes.
std::string Utf16LeWithBom(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  auto unit = [&](uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  };
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c, len = 1;
    } else if (c < 0xE0) {
      cp = c & 0x1F, len = 2;
    } else if (c < 0xF0) {
      cp = c & 0x0F, len = 3;
    } else {
      cp = c & 0x07, len = 4;
    }
    for (size_t k = 1; k < len; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

std::string Find(const Registry& r, const std::string& key,
                 const std::string& name) {
  return r.Find("HKEY_LOCAL_MACHINE\\" + key, name).value_or("<missing>");
}

const char* const kTwoKeys =
    "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]\n"
    "\"DBServer\"=\"sqlite:/srv/archive.db\"\n"
    "\"Temp\"=\"D:\\\\Incoming\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\n"
    "\"DCM\"=\"11112\"\n"
    "\"Caption\"=\"Vantor M\xC3\xBCller \xF0\x9D\x84\x9E\"\n";

TEST(RegistryParseTest, ReadsBothHeadersAndEveryEncoding) {
  const std::string caption = "Vantor M\xC3\xBCller \xF0\x9D\x84\x9E";
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"5.00, UTF-8", RegFile(kHeader5, kTwoKeys)},
      {"REGEDIT4", RegFile("REGEDIT4", kTwoKeys)},
      {"UTF-8 with BOM", "\xEF\xBB\xBF" + RegFile(kHeader5, kTwoKeys)},
      {"UTF-16LE with BOM", Utf16LeWithBom(RegFile(kHeader5, kTwoKeys))},
      {"LF line ends", std::string(kHeader5) + "\n" + kTwoKeys},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Registry r = Registry::Parse(c.bytes);
    EXPECT_EQ(r.key_count(), 2u);
    EXPECT_EQ(Find(r, kDefaultKey, "DBServer"), "sqlite:/srv/archive.db");
    EXPECT_EQ(Find(r, kDefaultKey, "Temp"), "D:\\Incoming");
    EXPECT_EQ(Find(r, kInstanceKey, "DCM"), "11112");
    EXPECT_EQ(Find(r, kInstanceKey, "Caption"), caption);
  }
}

TEST(RegistryParseTest, WithoutHeaderTheFileIsEmpty) {
  const std::string body =
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\r\n"
      "\"DCM\"=\"11112\"\r\n";
  EXPECT_EQ(Registry::Parse(body).key_count(), 0u);
  EXPECT_EQ(Registry::Parse("Windows Registry Editor Version 4.00\r\n" + body)
                .key_count(),
            0u);
  EXPECT_EQ(Registry::Parse("").key_count(), 0u);
  EXPECT_EQ(Registry::Parse("\xFF\xFE").key_count(), 0u);
  // The header must come first (blank lines before it are allowed).
  EXPECT_EQ(Registry::Parse("\r\n\r\nREGEDIT4\r\n" + body).key_count(), 1u);
  EXPECT_EQ(Registry::Parse("; note\r\nREGEDIT4\r\n" + body).key_count(), 0u);
}

TEST(RegistryParseTest, EscapesInNamesAndTexts) {
  Registry r = Registry::Parse(RegFile(
      kHeader5,
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\n"
      "\"Temp\"=\"\\\\\\\\host\\\\share\\\\in\\\\\"\n"
      "\"Caption\"=\"say \\\"hi\\\"\"\n"
      "\"Odd \\\"name\\\"\"=\"x\"\n"
      "\"Semi\"=\"a;b ; c\"\n"
      "\"Blanks\"=\"  padded  \"\n"
      "\"Empty\"=\"\"\n"
      "\"Lone\"=\"C:\\Temp\"\n"));
  EXPECT_EQ(Find(r, kInstanceKey, "Temp"), "\\\\host\\share\\in\\");
  EXPECT_EQ(Find(r, kInstanceKey, "Caption"), "say \"hi\"");
  EXPECT_EQ(Find(r, kInstanceKey, "Odd \"name\""), "x");
  EXPECT_EQ(Find(r, kInstanceKey, "Semi"), "a;b ; c");
  // The reader keeps blanks; trimming is a rule of the configuration pass.
  EXPECT_EQ(Find(r, kInstanceKey, "Blanks"), "  padded  ");
  EXPECT_EQ(Find(r, kInstanceKey, "Empty"), "");
  // A backslash before anything else stays as it is.
  EXPECT_EQ(Find(r, kInstanceKey, "Lone"), "C:\\Temp");
}

TEST(RegistryParseTest, KeysAndNamesCompareWithoutCase) {
  Registry r = Registry::Parse(RegFile(
      kHeader5,
      "[hkey_local_machine\\SOFTWARE\\tavik\\KELMORA\\vantor\\01]\n"
      "\"dcm\"=\"104\"\n"
      "\"CAPTION\"=\"Mixed Case Text\"\n"));
  EXPECT_EQ(Find(r, kInstanceKey, "DCM"), "104");
  EXPECT_EQ(Find(r, kInstanceKey, "Dcm"), "104");
  EXPECT_EQ(Find(r, kInstanceKey, "caption"), "Mixed Case Text");
  // The blank of " Default" is part of the key's name.
  EXPECT_EQ(Find(r, "Software\\Tavik\\Kelmora\\Default", "DCM"), "<missing>");
}

TEST(RegistryParseTest, OtherValueKindsReadAsEmpty) {
  Registry r = Registry::Parse(RegFile(
      kHeader5,
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\n"
      "\"DCM\"=dword:00000068\n"
      "\"Blob\"=hex:01,02,03,\\\n"
      "  04,05,\\\n"
      "  06\n"
      "\"Path\"=hex(2):43,00,3a,00,00,00\n"
      "\"Caption\"=\"after the blob\"\n"));
  EXPECT_EQ(Find(r, kInstanceKey, "DCM"), "");
  EXPECT_EQ(Find(r, kInstanceKey, "Blob"), "");
  EXPECT_EQ(Find(r, kInstanceKey, "Path"), "");
  // The continuation lines of the hex value are not read as values.
  EXPECT_EQ(Find(r, kInstanceKey, "Caption"), "after the blob");
  EXPECT_EQ(GetRegValue(r, "HKLM", kInstanceKey, "DCM"), "");
}

TEST(RegistryParseTest, CommentsDeletionsAndLaterDefinitions) {
  Registry r = Registry::Parse(RegFile(
      kHeader5,
      "; exported for the test\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\n"
      ";\"DCM\"=\"1\"\n"
      "  ; \"Debug\"=\"1\"\n"
      "\"AET\"=\"FIRST\"\n"
      "\"Rename\"=\"1\"\n"
      "\"Rename\"=-\n"
      "\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\02]\n"
      "\"DCM\"=\"2\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\n"
      "\"AET\"=\"SECOND\"\n"));
  EXPECT_EQ(Find(r, kInstanceKey, "DCM"), "<missing>");
  EXPECT_EQ(Find(r, kInstanceKey, "Debug"), "<missing>");
  EXPECT_EQ(Find(r, kInstanceKey, "Rename"), "<missing>");
  EXPECT_EQ(Find(r, kInstanceKey, "AET"), "SECOND");
  EXPECT_EQ(Find(r, "Software\\Tavik\\Kelmora\\Vantor\\02", "DCM"),
            "<missing>");
}

TEST(RegistryParseTest, MalformedLinesAreSkippedAndTheRestIsRead) {
  Registry r = Registry::Parse(RegFile(
      kHeader5,
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]\n"
      "\"Temp\"=\"unterminated\n"
      "\"Unzip\"=\"a\" trailing\n"
      "\"AET\"\n"
      "\"Debug\"=\n"
      "DBServer=\"no quotes\"\n"
      "\x01\xFF\xFE\x80 garbage\n"
      "\"UDP\"=\"11111\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01\n"
      "\"DCM\"=\"9\"\n"
      "[]\n"
      "\"Lost\"=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\n"
      "\"DCM\"=\"11112\"\n"));
  EXPECT_EQ(Find(r, kDefaultKey, "Temp"), "<missing>");
  EXPECT_EQ(Find(r, kDefaultKey, "Unzip"), "<missing>");
  EXPECT_EQ(Find(r, kDefaultKey, "AET"), "<missing>");
  EXPECT_EQ(Find(r, kDefaultKey, "Debug"), "<missing>");
  EXPECT_EQ(Find(r, kDefaultKey, "DBServer"), "<missing>");
  EXPECT_EQ(Find(r, kDefaultKey, "UDP"), "11111");
  // Values under a damaged key header belong to no key.
  EXPECT_EQ(Find(r, kDefaultKey, "DCM"), "<missing>");
  EXPECT_EQ(Find(r, kDefaultKey, "Lost"), "<missing>");
  EXPECT_EQ(Find(r, kInstanceKey, "DCM"), "11112");
}

TEST(RegistryParseTest, BrokenUtf16IsReadWithoutFailing) {
  std::string bytes = Utf16LeWithBom(RegFile(
      kHeader5,
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\n"
      "\"DCM\"=\"11112\"\n"
      "\"AET\"=\"X"));
  bytes += std::string("\x00\xD8", 2);  // a lone high surrogate
  bytes += "\"";                         // and an odd last byte
  Registry r = Registry::Parse(bytes);
  EXPECT_EQ(Find(r, kInstanceKey, "DCM"), "11112");
  EXPECT_EQ(Find(r, kInstanceKey, "AET"), "<missing>");
}

TEST(RegistryLoadTest, MissingFileIsAnEmptyRegistry) {
  EXPECT_EQ(Registry::Load(TestProgramDir() + "/no-such.reg").key_count(), 0u);
  EXPECT_EQ(Registry::Load(TestProgramDir()).key_count(), 0u);
}

class GetRegValueTest : public ::testing::Test {
 protected:
  GetRegValueTest()
      : registry_(Registry::Parse(RegFile(
            kHeader5,
            "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\n"
            "\"DCM\"=\"104\"\n"
            "\"Long\"=\"" + std::string(10000, 'x') + "\"\n"
            "\"Max\"=\"" + std::string(254, 'm') + "\"\n"
            "\"Over\"=\"" + std::string(255, 'o') + "\"\n"
            "[HKEY_CURRENT_USER\\Software\\Tavik\\Kelmora\\Vantor\\01]\n"
            "\"DCM\"=\"200\"\n"
            "[HKEY_CLASSES_ROOT\\K]\n\"V\"=\"hkcr\"\n"
            "[HKEY_USERS\\K]\n\"V\"=\"hku\"\n"
            "[HKEY_PERFORMANCE_DATA\\K]\n\"V\"=\"hkpd\"\n"
            "[HKEY_DYN_DATA\\K]\n\"V\"=\"hkdd\"\n"
            "[HKEY_CURRENT_CONFIG\\K]\n\"V\"=\"hkcc\"\n"
            "[HKXX\\K]\n\"V\"=\"raw\"\n"))) {}

  Registry registry_;
};

TEST_F(GetRegValueTest, RootsInAnyCase) {
  EXPECT_EQ(GetRegValue(registry_, "HKLM", kInstanceKey, "DCM"), "104");
  EXPECT_EQ(GetRegValue(registry_, "hklm", kInstanceKey, "dcm"), "104");
  EXPECT_EQ(GetRegValue(registry_, "HkLm", kInstanceKey, "DCM"), "104");
  EXPECT_EQ(GetRegValue(registry_, "HKCU", kInstanceKey, "DCM"), "200");
  EXPECT_EQ(GetRegValue(registry_, "hkcr", "K", "V"), "hkcr");
  EXPECT_EQ(GetRegValue(registry_, "HKU", "K", "V"), "hku");
  EXPECT_EQ(GetRegValue(registry_, "HKPD", "K", "V"), "hkpd");
  EXPECT_EQ(GetRegValue(registry_, "hkDD", "K", "V"), "hkdd");
  EXPECT_EQ(GetRegValue(registry_, "HKCC", "K", "V"), "hkcc");
}

TEST_F(GetRegValueTest, EmptyUnknownAndLongRootsGiveNothing) {
  EXPECT_EQ(GetRegValue(registry_, "", kInstanceKey, "DCM"), "");
  EXPECT_EQ(GetRegValue(registry_, "HKXX", "K", "V"), "");
  EXPECT_EQ(GetRegValue(registry_, "HKEY_LOCAL_MACHINE", kInstanceKey, "DCM"),
            "");
  EXPECT_EQ(GetRegValue(registry_, "HKLM ", kInstanceKey, "DCM"), "");
}

TEST_F(GetRegValueTest, MissingKeysAndValuesGiveNothing) {
  EXPECT_EQ(GetRegValue(registry_, "HKLM", kInstanceKey, "Nope"), "");
  EXPECT_EQ(GetRegValue(registry_, "HKLM", "Software\\Tavik", "DCM"), "");
  EXPECT_EQ(GetRegValue(registry_, "HKLM", "", "DCM"), "");
}

TEST_F(GetRegValueTest, ValuesMustFitIntoTheBuffer) {
  EXPECT_EQ(GetRegValue(registry_, "HKLM", kInstanceKey, "Long"), "");
  EXPECT_EQ(GetRegValue(registry_, "HKLM", kInstanceKey, "Max"),
            std::string(254, 'm'));
  EXPECT_EQ(GetRegValue(registry_, "HKLM", kInstanceKey, "Over"), "");
}

}  // namespace
}  // namespace vantor
