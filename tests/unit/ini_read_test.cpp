// SPDX-License-Identifier: GPL-2.0-or-later
// Reading the configuration file: look-up rules, value cleaning, integer
// conversion, on real files in a temporary folder.
#include "common/config/ini_store.hpp"
#include "common/config/int32_text.hpp"
#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class IniReadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        file_ = (dir_ / "bexo.cfg").string();
    }

    void write(const std::string &content)
    {
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << content;
    }

    ScratchDir scratch_{"ini_read"};
    fs::path dir_ = scratch_.path();
    std::string file_;
};

using namespace std::string_literals;

// What a look-up that finds nothing gives back.
const std::string kDefault = "DEFAULT";

struct TextCase {
    const char *name;
    std::string content;
    const char *section;
    const char *key;
    std::string expected;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const TextCase &c, std::ostream *os) { *os << c.name; }


const std::string k511(511, 'x');

std::vector<TextCase> text_cases()
{
    return {
        {"SectionNameIgnoresCase", "[general]\ntimer=30\n", "General", "timer", "30"},
        {"BlanksInsideBracketsBelongToName", "[ General ]\ntimer=30\n", "General", "timer",
         kDefault},
        {"KeyIgnoresCaseAndBlanksAroundEquals", "[General]\nTimer = 30\n", "General", "timer",
         "30"},
        {"ColonSeparatesWithoutEquals", "[General]\ntimer:30\n", "General", "timer", "30"},
        {"EqualsWinsOverColon", "[General]\na:b=c\n", "General", "a:b", "c"},
        {"CommentLineIsSkipped", "[General]\n;timer=30\n", "General", "timer", kDefault},
        {"HashCommentLineIsSkipped", "[General]\n  # timer=30\n", "General", "timer", kDefault},
        {"UnnamedKeyNotSeenFromNamedSection", "timer=30\n[General]\n", "General", "timer",
         kDefault},
        {"UnnamedKeyFoundWithEmptySection", "timer=30\n[General]\n", "", "timer", "30"},
        {"UnnamedKeyFoundWithNullSection", "timer=30\n[General]\n", nullptr, "timer", "30"},
        {"UnnamedSectionEndsAtFirstHeader", "[General]\ntimer=30\n", nullptr, "timer", kDefault},
        {"KeyOfNextSectionNotSeen", "[General]\n[User]\ntimer=30\n", "General", "timer",
         kDefault},
        {"BrokenHeaderEndsSection", "[General]\n[broken\ntimer=30\n", "General", "timer",
         kDefault},
        {"OnlyFirstOfDuplicateSectionsSearched",
         "[General]\nsleep=1\n[User]\n[General]\ntimer=30\n", "General", "timer", kDefault},
        {"FirstOfDuplicateKeysWins", "[General]\ntimer=1\ntimer=2\n", "General", "timer", "1"},
        {"LongerStoredKeyDoesNotMatch", "[General]\ntimers=1\n", "General", "timer", kDefault},
        {"ShorterStoredKeyDoesNotMatch", "[General]\ntime=1\n", "General", "timer", kDefault},
        {"LongerSectionNameDoesNotMatch", "[Generals]\ntimer=1\n", "General", "timer", kDefault},
        {"TextAfterClosingBracketIgnored", "[General] ; main\ntimer=30\n", "General", "timer",
         "30"},
        {"LineWithoutSeparatorSkipped", "[General]\ntimer 30\ntimer=31\n", "General", "timer",
         "31"},
        {"UnquotedSemicolonEndsValue", "[User]\ncommand1=echo a; echo b\n", "User", "command1",
         "echo a"},
        {"UnquotedHashEndsValue", "[User]\ncommand1=ls #all\n", "User", "command1", "ls"},
        {"QuotedSemicolonStays", "[User]\ncommand1=\"echo a; echo b\"\n", "User", "command1",
         "echo a; echo b"},
        {"BackslashQuoteReadsAsQuote", "[User]\ncommand1=\"say \\\"hi\\\"\"\n", "User",
         "command1", "say \"hi\""},
        {"DoubledQuoteReadsAsQuote", "[User]\ncommand1=\"a \"\"b\"\" c\"\n", "User", "command1",
         "a \"b\" c"},
        {"UnclosedQuoteKeepsRestOfLine", "[User]\ncommand1=\"echo a ; note\n", "User",
         "command1", "\"echo a ; note"},
        {"TwoQuotesAreEmpty", "[User]\ncommand1=\"\"\n", "User", "command1", ""},
        {"SingleQuoteIsEmpty", "[User]\ncommand1=\"\n", "User", "command1", ""},
        {"BlankInsideQuotesStays", "[User]\ncommand1=\" a \"\n", "User", "command1", " a "},
        {"BlanksOutsideQuotesGo", "[User]\ncommand1= \t a b \t \n", "User", "command1", "a b"},
        {"EmptyValueIsEmptyText", "[General]\ntime_boot=\n", "General", "time_boot", ""},
        {"HighBytesAreText", "[General]\nname=\xC3\xA9t\xC3\xA9\xA0\n", "General", "name",
         "\xC3\xA9t\xC3\xA9\xA0"},
        {"CrLfTrimmedFromValuesAndHeaders", "[General]\r\ntimer=30\r\nsleep=5\r\n", "General",
         "sleep", "5"},
        {"QuotedValueInCrLfFile", "[User]\r\ncommand1=\"a; b \"\r\n", "User", "command1",
         "a; b "},
        // A 600-byte line is read as pieces of 511 and 89 bytes, each on its own.
        {"SecondPieceOfLongLineIsALine", "[General]\n" + k511 + "timer=30\n", "General", "timer",
         "30"},
        {"SecondPieceStartingWithBracketEndsSection",
         "[General]\ntimer=" + std::string(505, 'y') + "[User]\nsleep=1\n", "General", "sleep",
         kDefault},
        // The first piece holds 505 digits; a buffer of 100 takes 99.
        {"LongValueCutToBuffer", "[General]\ntimer=" + std::string(600, '7') + "\n",
         "General", "timer", std::string(99, '7')},
        {"NulByteEndsLineText", "[General]\ntim\0er=1\ntimer=2\n"s, "General", "timer", "2"},
        // An editor's UTF-8 byte-order mark is passed over.
        {"ByteOrderMarkBeforeFirstHeader", "\xEF\xBB\xBF[General]\ntimer=30\n", "General", "timer", "30"},
        {"ByteOrderMarkBeforeUnnamedKey", "\xEF\xBB\xBFtimer=30\n", nullptr, "timer", "30"},
    };
}

class IniTextTable : public IniReadTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(IniTextTable, ReadsValueOrDefault)
{
    const TextCase &c = GetParam();
    write(c.content);
    char buffer[100];
    const int length =
        ini_gets(c.section, c.key, kDefault.c_str(), buffer, sizeof buffer, file_.c_str());
    EXPECT_EQ(std::string(buffer), c.expected);
    EXPECT_EQ(length, static_cast<int>(c.expected.size()));
}

INSTANTIATE_TEST_SUITE_P(IniLookups, IniTextTable, ::testing::ValuesIn(text_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// What the strict reading of the programs' settings makes of a value that
// is no whole number.
constexpr int64_t kUnreadable = INT64_MIN;

struct NumberCase {
    const char *name;
    const char *value;
    int32_t expected;  // ini_getl
    int64_t whole;     // int32_text_whole on the value ini_gets reads
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const NumberCase &c, std::ostream *os) { *os << c.name; }


class IniNumberTable : public IniReadTest, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(IniNumberTable, ConvertsLikeThirtyTwoBitStrtolAndStrictlyAsAWhole)
{
    const NumberCase &c = GetParam();
    write(std::string("[General]\nvalue=") + c.value + "\n");
    EXPECT_EQ(ini_getl("General", "value", -1, file_.c_str()), c.expected);
    char text[INI_LINE_SIZE];
    ini_gets("General", "value", nullptr, text, sizeof text, file_.c_str());
    int32_t whole = 0;
    const int32_text_result result = int32_text_whole(text, &whole);
    EXPECT_EQ(result == INT32_TEXT_READ ? whole : kUnreadable, c.whole);
}

INSTANTIATE_TEST_SUITE_P(
    IniNumbers, IniNumberTable,
    ::testing::Values(NumberCase{"Decimal", "30", 30, 30}, NumberCase{"Negative", "-5", -5, -5},
                      NumberCase{"Plus", "+7", 7, 7}, NumberCase{"HexLower", "0x0f", 15, 15},
                      NumberCase{"HexUpper", "0X1F", 31, 31}, NumberCase{"LeadingZeroIsDecimal", "0F", 0, kUnreadable},
                      NumberCase{"NegativeHexStopsAtX", "-0x10", 0, kUnreadable}, NumberCase{"SecondByteXWithoutPrefix", "1x5", 1, kUnreadable},
                      NumberCase{"TextReadsZero", "abc", 0, kUnreadable}, NumberCase{"StopsAtFirstNonDigit", "12abc", 12, kUnreadable},
                      NumberCase{"QuotedLeadingBlank", "\" 30\"", 30, kUnreadable},
                      NumberCase{"CommentAfterNumber", "30 ; seconds", 30, 30}, NumberCase{"QuotedNumber", "\"42\"", 42, 42},
                      NumberCase{"Max", "2147483647", 2147483647, 2147483647},
                      NumberCase{"SaturatesAboveMax", "2147483648", 2147483647, kUnreadable},
                      NumberCase{"SaturatesFarAboveMax", "99999999999999999999999", 2147483647, kUnreadable},
                      NumberCase{"Min", "-2147483648", INT32_MIN, INT32_MIN},
                      NumberCase{"SaturatesBelowMin", "-2147483649", INT32_MIN, kUnreadable},
                      NumberCase{"HexSaturates", "0x80000000", 2147483647, kUnreadable},
                      NumberCase{"HexMax", "0x7fffffff", 2147483647, 2147483647},
                      NumberCase{"LongHexSaturates", "0xFFFFFFFFFFFFFFFFFF", 2147483647, kUnreadable}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(IniReadTest, IntegerDefaultForMissingOrEmptyValue)
{
    write("[General]\ntimer=\nsleep=\"\"\n");
    EXPECT_EQ(ini_getl("General", "timer", -1, file_.c_str()), -1);
    EXPECT_EQ(ini_getl("General", "sleep", -1, file_.c_str()), -1);
    EXPECT_EQ(ini_getl("General", "missing", 77, file_.c_str()), 77);
    EXPECT_EQ(ini_getl("General", "timer", 5, (dir_ / "none.cfg").c_str()), 5);
}

TEST_F(IniReadTest, IntegerReadsAtMostSixtyThreeBytes)
{
    // 62 zeros then 7: the 7 is the 63rd byte and still read; the 64th is not.
    write("[General]\na=" + std::string(62, '0') + "7\nb=" + std::string(63, '0') + "7\n");
    EXPECT_EQ(ini_getl("General", "a", -1, file_.c_str()), 7);
    EXPECT_EQ(ini_getl("General", "b", -1, file_.c_str()), 0);
}

TEST_F(IniReadTest, MissingFileGivesDefault)
{
    char buffer[100] = "junk";
    const std::string missing = (dir_ / "none.cfg").string();
    EXPECT_EQ(ini_gets("General", "time_boot", "12:00:00", buffer, sizeof buffer,
                       missing.c_str()),
              8);
    EXPECT_STREQ(buffer, "12:00:00");
    EXPECT_EQ(ini_gets("General", "time_boot", nullptr, buffer, sizeof buffer, missing.c_str()),
              0);
    EXPECT_STREQ(buffer, "");
}

TEST_F(IniReadTest, DefaultIsCutToBuffer)
{
    write("");
    char buffer[4];
    EXPECT_EQ(ini_gets("General", "x", "abcdef", buffer, sizeof buffer, file_.c_str()), 3);
    EXPECT_STREQ(buffer, "abc");
}

TEST_F(IniReadTest, BufferOfOneByteGetsEmptyText)
{
    write("[General]\ntimer=30\n");
    char buffer[1] = {'x'};
    EXPECT_EQ(ini_gets("General", "timer", "d", buffer, 1, file_.c_str()), 0);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(IniReadTest, InvalidArgumentsLeaveBufferUnchanged)
{
    write("[General]\ntimer=30\n");
    char buffer[8] = "keep";
    EXPECT_EQ(ini_gets("General", "timer", "d", nullptr, 8, file_.c_str()), 0);
    EXPECT_EQ(ini_gets("General", "timer", "d", buffer, 0, file_.c_str()), 0);
    EXPECT_EQ(ini_gets("General", "timer", "d", buffer, -3, file_.c_str()), 0);
    EXPECT_EQ(ini_gets("General", nullptr, "d", buffer, 8, file_.c_str()), 0);
    EXPECT_STREQ(buffer, "keep");
}

TEST_F(IniReadTest, QuotedValueCutToBufferKeepsDequoting)
{
    write("[User]\ncommand1=\"a\\\"bcdef\"\n");
    char buffer[4];
    EXPECT_EQ(ini_gets("User", "command1", nullptr, buffer, sizeof buffer, file_.c_str()), 3);
    EXPECT_STREQ(buffer, "a\"b");
}

TEST_F(IniReadTest, ValueNearEndOfLineBufferIntoSmallBuffers)
{
    // The value sits at the end of the 511-byte line buffer; copying it into
    // callers' buffers of any size must not trip the overlap check.
    const std::string key(500, 'k');
    write("[General]\n" + key + "=1234567890\n");
    for (int size : {2, 8, 64, 100, 600, 2000}) {
        std::vector<char> buffer(static_cast<size_t>(size));
        const int length =
            ini_gets("General", key.c_str(), nullptr, buffer.data(), size, file_.c_str());
        EXPECT_EQ(std::string(buffer.data()), std::string("1234567890").substr(0, size - 1));
        EXPECT_EQ(length, std::min(size - 1, 10));
    }
    EXPECT_EQ(ini_getl("General", key.c_str(), -1, file_.c_str()), 1234567890);
}

// A FIFO, a device or a folder in place of the file reads as no file, and
// the look-up never waits for a FIFO's writer.
TEST_F(IniReadTest, FileThatIsNotRegularGivesDefaultAtOnce)
{
    ASSERT_EQ(mkfifo(file_.c_str(), 0644), 0);
    char buffer[8];
    for (const std::string &name : {file_, std::string("/dev/zero"), dir_.string()}) {
        EXPECT_EXIT({
            alarm(5);
            ini_gets("General", "timer", "d", buffer, sizeof buffer, name.c_str());
            _exit(std::string(buffer) == "d" && ini_walk(name.c_str(), [](const ini_line *, void *) {}, nullptr) == 0 ? 0 : 1);
        }, ::testing::ExitedWithCode(0), "") << name;
    }
}

TEST_F(IniReadTest, FileOfOnlyLongLinesFindsNothing)
{
    write(std::string(5000, 'z'));
    char buffer[10];
    EXPECT_EQ(ini_gets(nullptr, "z", "d", buffer, sizeof buffer, file_.c_str()), 1);
    EXPECT_STREQ(buffer, "d");
}

} // namespace
