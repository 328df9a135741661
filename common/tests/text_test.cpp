#include "text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace tindral::text {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string_view>;

const std::string kReplacement = "\xEF\xBF\xBD";

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

TEST(TextTest, StrictUtf8AcceptsOnlyShortestFormsOfScalarValues) {
  const Utf8Case cases[] = {
      {"empty", "", true},
      {"ascii", "C:\\Data", true},
      {"two bytes", "\xC3\xA6", true},
      {"three bytes", "\xE2\x82\xAC", true},
      {"last before surrogates", "\xED\x9F\xBF", true},
      {"first after surrogates", "\xEE\x80\x80", true},
      {"four bytes", "\xF0\x9F\x93\x81", true},
      {"highest code point", "\xF4\x8F\xBF\xBF", true},
      {"overlong NUL", std::string("\xC0\x80"), false},
      {"overlong two bytes", "\xC1\xBF", false},
      {"overlong three bytes", "\xE0\x80\x80", false},
      {"overlong four bytes", "\xF0\x80\x80\x80", false},
      {"high surrogate", "\xED\xA0\x80", false},
      {"low surrogate", "\xED\xBF\xBF", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lead byte F5", "\xF5\x80\x80\x80", false},
      {"byte FF", "\xFF", false},
      {"truncated two bytes", "a\xC3", false},
      {"truncated three bytes", "\xE2\x82", false},
      {"truncated four bytes", "\xF0\x9F\x93", false},
      {"lone continuation", "a\x80z", false},
      {"continuation missing", "\xE2\x28\xA1", false},
  };
  for (const Utf8Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.name;
    Result<std::string> decoded = decode_utf8(c.bytes);
    ASSERT_EQ(decoded.ok(), c.valid) << c.name;
    if (decoded) {
      EXPECT_EQ(*decoded, c.bytes) << c.name;
    } else {
      EXPECT_EQ(decoded.error().message(), "stream did not contain valid UTF-8") << c.name;
      EXPECT_EQ(decoded.error().kind(), ErrorKind::InvalidData) << c.name;
    }
  }
}

TEST(TextTest, LossyConversionReplacesEachMaximalInvalidSubpart) {
  const std::string& r = kReplacement;
  const std::pair<std::string, std::string> cases[] = {
      {"plain \xC3\xA6\xC3\xB8\xC3\xA5", "plain \xC3\xA6\xC3\xB8\xC3\xA5"},
      {"a\x80z", "a" + r + "z"},
      {"\xFF\xFE", r + r},
      {"\xC0\x80", r + r},
      {"\xE0\x80\x80", r + r + r},
      {"\xF4\x90\x80\x80", r + r + r + r},
      // A truncated sequence is one replacement, whatever follows it.
      {"\xE2\x82z", r + "z"},
      {"\xF0\x9F\x93", r},
      {"\xE2\x82\xE2\x82\xAC", r + "\xE2\x82\xAC"},
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(to_lossy_utf8(bytes), expected) << testing::PrintToString(bytes);
  }
}

TEST(TextTest, LossyConversionShowsAnUnpairedSurrogateAsOneReplacement) {
  // WTF-8 spells an unpaired UTF-16 unit of an NTFS name as a three-byte surrogate encoding.
  EXPECT_EQ(to_lossy_utf8("x\xED\xA0\x80y"), "x" + kReplacement + "y");
  EXPECT_EQ(to_lossy_utf8("\xED\xB0\x80\xED\xA0\xBD"), kReplacement + kReplacement);
  EXPECT_EQ(to_lossy_utf8("C:\\\xED\xBF\xBF.txt"), "C:\\" + kReplacement + ".txt");
}

TEST(TextTest, SplitLinesDropsOnlyTheCarriageReturnBeforeALineFeed) {
  EXPECT_EQ(split_lines(""), Lines{});
  EXPECT_EQ(split_lines("a\nb\n"), (Lines{"a", "b"}));
  EXPECT_EQ(split_lines("a\r\nb\r\n"), (Lines{"a", "b"}));
  EXPECT_EQ(split_lines("a\nlast"), (Lines{"a", "last"}));
  EXPECT_EQ(split_lines("a\rb\r\n"), (Lines{"a\rb"}));
  EXPECT_EQ(split_lines("tail\r"), (Lines{"tail\r"}));
  EXPECT_EQ(split_lines("a\r\r\n"), (Lines{"a\r"}));
  EXPECT_EQ(split_lines("\n\n"), (Lines{"", ""}));
  EXPECT_EQ(split_lines("a\n\nb"), (Lines{"a", "", "b"}));
}

TEST(TextTest, TrimRemovesEveryUnicodeWhiteSpaceCharacter) {
  const char* white_space[] = {
      "\t",           "\n",           "\v",
      "\f",           "\r",           " ",
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
      "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
      "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
      "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
      "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
      "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
      "\xE3\x80\x80",
  };
  for (const char* space : white_space) {
    const std::string padded = std::string(space) + "C:\\My Data" + space + space;
    EXPECT_EQ(trim(padded), "C:\\My Data") << testing::PrintToString(space);
  }
}

TEST(TextTest, TrimKeepsWhatIsNotWhiteSpace) {
  const std::string bom = "\xEF\xBB\xBF";
  EXPECT_EQ(trim(bom + "interval=5 "), bom + "interval=5");
  // Zero width space and the Mongolian vowel separator are not White_Space.
  EXPECT_EQ(trim("\xE2\x80\x8B"
                 "x\xE1\xA0\x8E"),
            "\xE2\x80\x8B"
            "x\xE1\xA0\x8E");
  EXPECT_EQ(trim(" \t "), "");
  EXPECT_EQ(trim(""), "");
  // A lone continuation byte at the end must not be mistaken for the tail of a space.
  EXPECT_EQ(trim("x\x80"), "x\x80");
}

TEST(TextTest, CaseMappingOfOrdinaryLettersAcrossScripts) {
  const std::pair<std::string, std::string> lower_upper[] = {
      {"c:\\program files", "C:\\PROGRAM FILES"},
      {"\xC3\xA6\xC3\xB8\xC3\xA5", "\xC3\x86\xC3\x98\xC3\x85"},  // æøå
      {"\xCE\xB1\xCE\xB2\xCE\xB3", "\xCE\x91\xCE\x92\xCE\x93"},  // αβγ
      {"\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
       "\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2"},  // привет
      {"\xD5\xA2\xD5\xA1\xD6\x80\xD5\xA5\xD6\x82",
       "\xD4\xB2\xD4\xB1\xD5\x90\xD4\xB5\xD5\x92"},              // Armenian
      {"\xC4\x81\xC4\x8D\xC5\xBE", "\xC4\x80\xC4\x8C\xC5\xBD"},  // āčž (pairs in one block)
      {"\xF0\x90\x90\xA8", "\xF0\x90\x90\x80"},                  // Deseret, four bytes
      {"\xEF\xBD\x81", "\xEF\xBC\xA1"},                          // full-width a / A
  };
  for (const auto& [lower, upper] : lower_upper) {
    EXPECT_EQ(to_upper(lower), upper) << lower;
    EXPECT_EQ(to_lower(upper), lower) << upper;
  }
  const std::string uncased = "123 _%USERNAME%? \xE4\xB8\xAD\xE6\x96\x87";  // CJK has no case
  EXPECT_EQ(to_lower(uncased), "123 _%username%? \xE4\xB8\xAD\xE6\x96\x87");
}

TEST(TextTest, FullCaseMappingCanChangeTheNumberOfCodePoints) {
  EXPECT_EQ(to_upper("stra\xC3\x9F"
                     "e"),
            "STRASSE");                                         // ß
  EXPECT_EQ(to_lower("\xC4\xB0stanbul"), "i\xCC\x87stanbul");   // İ -> i + U+0307
  EXPECT_EQ(to_upper("\xD6\x87"), "\xD4\xB5\xD5\x92");          // և -> ԵՒ
  EXPECT_EQ(to_upper("\xEF\xAC\x81le"), "FILE");                // ﬁ ligature
  EXPECT_EQ(to_upper("\xC5\x89"), "\xCA\xBCN");                 // ŉ -> ʼN
  EXPECT_EQ(to_upper("\xE1\xBE\x80"), "\xE1\xBC\x88\xCE\x99");  // ᾀ -> ἈΙ
  EXPECT_EQ(to_upper("\xCE\x90"), "\xCE\x99\xCC\x88\xCC\x81");  // ΐ -> three
  // The simple mapping stays where there is no special one: K (Kelvin) and Ω (Ohm).
  EXPECT_EQ(to_lower("\xE2\x84\xAA\xE2\x84\xA6"), "k\xCF\x89");
  // ẞ lower-cases to ß, which is not the inverse of upper-casing.
  EXPECT_EQ(to_lower("\xE1\xBA\x9E"), "\xC3\x9F");
}

TEST(TextTest, CapitalSigmaLowerCasesToTheFinalFormAtTheEndOfAWord) {
  // ΟΔΟΣ -> οδος with final ς; inside a word σ.
  EXPECT_EQ(to_lower("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82");
  EXPECT_EQ(to_lower("\xCE\xA3\xCE\x91"), "\xCF\x83\xCE\xB1");
  // A sigma on its own is not at the end of a word.
  EXPECT_EQ(to_lower("\xCE\xA3"), "\xCF\x83");
  EXPECT_EQ(to_lower("A\xCE\xA3 B"), "a\xCF\x82 b");
  // Case-ignorable characters (apostrophe, combining accent) are looked through both ways.
  EXPECT_EQ(to_lower("A'\xCE\xA3'"), "a'\xCF\x82'");
  EXPECT_EQ(to_lower("A\xCE\xA3\xCC\x81"
                     "B"),
            "a\xCF\x83\xCC\x81"
            "b");
  EXPECT_EQ(to_lower("1\xCE\xA3"), "1\xCF\x83");
  // Upper-casing leaves either form as Σ.
  EXPECT_EQ(to_upper("\xCF\x82\xCF\x83"), "\xCE\xA3\xCE\xA3");
}

TEST(TextTest, CaseMappingPassesInvalidBytesThrough) {
  EXPECT_EQ(to_lower("AB\xFF"
                     "C"),
            "ab\xFF"
            "c");
  EXPECT_EQ(to_upper("x\xED\xA0\x80y"), "X\xED\xA0\x80Y");
}

TEST(TextTest, AsciiCaseInsensitiveComparisonFoldsOnlyAToZ) {
  EXPECT_TRUE(ascii_iequals("%UserProfile%", "%USERPROFILE%"));
  EXPECT_FALSE(ascii_iequals("abc", "abcd"));
  EXPECT_FALSE(ascii_iequals("\xC3\xA6", "\xC3\x86"));
  EXPECT_FALSE(ascii_iequals("[", "{"));  // 0x5B and 0x7B differ by 0x20 but are not letters
  EXPECT_TRUE(ascii_iequals("", ""));

  EXPECT_EQ(ascii_ifind("C:\\Users\\%username%\\Music", "%USERNAME%"), 9u);
  EXPECT_EQ(ascii_ifind("%A%%USERNAME%", "%username%"), 3u);
  EXPECT_EQ(ascii_ifind("short", "longer needle"), std::string_view::npos);
  EXPECT_EQ(ascii_ifind("no match", "%x%"), std::string_view::npos);
  EXPECT_EQ(ascii_ifind("abc", ""), 0u);
}

TEST(TextTest, FormatSecondsRoundsToNearestWithAFixedNumberOfDigits) {
  struct Case {
    std::chrono::nanoseconds elapsed;
    int decimals;
    const char* expected;
  };
  const Case cases[] = {
      {2500ms, 2, "2.50s"},
      {4ms, 2, "0.00s"},
      {5001us, 2, "0.01s"},
      {59999ms, 2, "60.00s"},
      {75s, 2, "75.00s"},
      {0ns, 2, "0.00s"},
      {12345ms, 1, "12.3s"},
      {12351ms, 1, "12.4s"},
      {0ns, 1, "0.0s"},
      {49ms, 1, "0.0s"},
      {951ms, 1, "1.0s"},
      {3600s + 1ns, 1, "3600.0s"},
      {86400s * 400, 2, "34560000.00s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_seconds(c.elapsed, c.decimals), c.expected)
        << c.elapsed.count() << " ns, " << c.decimals << " digits";
  }
}

}  // namespace
}  // namespace tindral::text
