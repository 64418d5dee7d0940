// SPDX-License-Identifier: GPL-2.0-or-later
// Changing the configuration file: golden-file cases (input, request, exact
// bytes afterwards), refused requests, and failures that must leave the old
// file in place.
#include "common/config/ini_store.hpp"
#include "numbered.hpp"
#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const fs::path kGolden = INI_GOLDEN_DIR;

std::optional<std::string> read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

ino_t inode_of(const fs::path &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Runs `body` in a child process, as an unprivileged user when we are root
// (root ignores permission bits), and returns its exit status.
int run_in_child(bool unprivileged, const std::function<int()> &body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (unprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(100);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

class IniWriteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::permissions(dir_, fs::perms(0755));
        file_ = dir_ / "bexo.cfg";
        temp_ = dir_ / "bexo.cf~";
    }

    int put(const char *section, const char *key, const char *value)
    {
        return ini_puts(section, key, value, file_.c_str());
    }
    std::string get(const char *section, const char *key)
    {
        char buffer[512];
        ini_gets(section, key, "<missing>", buffer, sizeof buffer, file_.c_str());
        return buffer;
    }

    ScratchDir scratch_{"ini_write"};
    fs::path dir_ = scratch_.path();
    fs::path file_;
    fs::path temp_;
};

// ---------------------------------------------------------------------------
// Golden files

struct GoldenCase {
    const char *name;
    const char *input;    // file in the data folder, nullptr: no file
    const char *section;
    const char *key;
    const char *value;
    int result;
    const char *expected; // nullptr: no file afterwards
    bool untouched;       // the file must not have been rewritten at all
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const GoldenCase &c, std::ostream *os) { *os << c.name; }


class IniGoldenTable : public IniWriteTest, public ::testing::WithParamInterface<GoldenCase> {};

TEST_P(IniGoldenTable, ProducesExactBytes)
{
    const GoldenCase &c = GetParam();
    if (c.input != nullptr) {
        const auto input = read_file(kGolden / c.input);
        ASSERT_TRUE(input.has_value()) << c.input;
        write_file(file_, *input);
    }
    const ino_t before = inode_of(file_);

    EXPECT_EQ(put(c.section, c.key, c.value), c.result);

    const auto after = read_file(file_);
    if (c.expected == nullptr) {
        EXPECT_FALSE(after.has_value());
    } else {
        const auto expected = read_file(kGolden / c.expected);
        ASSERT_TRUE(expected.has_value()) << c.expected;
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(*after, *expected);
    }
    if (c.untouched) {
        EXPECT_EQ(inode_of(file_), before);
    }
    EXPECT_FALSE(fs::exists(temp_));
}

constexpr const char *kInjection = "1\n[User]\ncommand1=rm -rf /";

INSTANTIATE_TEST_SUITE_P(
    IniRequests, IniGoldenTable,
    ::testing::Values(
        GoldenCase{"SameValueLeavesFileUntouched", "basic.in", "General", "timer", "30", 1,
                   "basic.in", true},
        GoldenCase{"SameValueComparesCase", "basic.in", "General", "sleep", "5", 1, "basic.in",
                   true},
        GoldenCase{"SetReplacesFirstKeyLineWithoutItsComment", "basic.in", "General", "timer",
                   "45", 1, "basic_timer_replaced.out", false},
        GoldenCase{"SetMissingKeyGoesBeforeNextHeader", "basic.in", "General", "mail", "1", 1,
                   "basic_mail_inserted.out", false},
        GoldenCase{"SetMissingKeyInLastSectionAppends", "basic.in", "User", "command2",
                   "poweroff", 1, "basic_user_appended.out", false},
        GoldenCase{"SetMissingSectionAppendsHeaderAndKey", "basic.in", "Extra", "x", "1", 1,
                   "basic_section_appended.out", false},
        GoldenCase{"SectionMatchesIgnoringCase", "basic.in", "general", "sleep", "6", 1,
                   "basic_sleep_lowercase_section.out", false},
        GoldenCase{"DeleteKeyRemovesFirstLineOnly", "basic.in", "General", "timer", nullptr, 1,
                   "basic_timer_deleted.out", false},
        GoldenCase{"DeleteMissingKeyKeepsBytes", "basic.in", "General", "mail", nullptr, 1,
                   "basic.in", false},
        GoldenCase{"DeleteKeyOfMissingSectionKeepsBytes", "basic.in", "Extra", "x", nullptr, 1,
                   "basic.in", false},
        GoldenCase{"DeleteSectionRemovesHeaderAndBody", "basic.in", "General", nullptr, nullptr,
                   1, "basic_general_deleted.out", false},
        GoldenCase{"DeleteLastSection", "basic.in", "User", nullptr, nullptr, 1,
                   "basic_user_deleted.out", false},
        GoldenCase{"DeleteMissingSectionKeepsBytes", "basic.in", "Extra", nullptr, nullptr, 1,
                   "basic.in", false},
        GoldenCase{"UnnamedSetGoesBeforeFirstHeader", "basic.in", "", "version", "2", 1,
                   "basic_unnamed_set.out", false},
        GoldenCase{"UnnamedSetReplacesKeyBeforeFirstHeader", "unnamed.in", nullptr, "version",
                   "2", 1, "unnamed_version_replaced.out", false},
        GoldenCase{"UnnamedDeleteKeyKeepsNamedSections", "unnamed.in", "", "version", nullptr,
                   1, "unnamed_version_deleted.out", false},
        GoldenCase{"DeleteUnnamedSectionRemovesOnlyItsKeyLines", "unnamed.in", nullptr, nullptr,
                   nullptr, 1, "unnamed_deleted.out", false},
        GoldenCase{"DeleteUnnamedSectionWithEmptyName", "unnamed.in", "", nullptr, nullptr, 1,
                   "unnamed_deleted.out", false},
        GoldenCase{"DeleteUnnamedSectionOfHeaderlessFile", "headerless.in", nullptr, nullptr,
                   nullptr, 1, "headerless_deleted.out", false},
        GoldenCase{"UnnamedSetInHeaderlessFileAppends", "headerless.in", nullptr, "b", "2", 1,
                   "headerless_set.out", false},
        GoldenCase{"CrLfReplacedLineGetsLfOthersKeepCrLf", "crlf.in", "General", "timer", "30",
                   1, "crlf_timer_replaced.out", false},
        GoldenCase{"CrLfInsertBeforeNextHeader", "crlf.in", "General", "mail", "1", 1,
                   "crlf_mail_inserted.out", false},
        GoldenCase{"CrLfSameValueUntouched", "crlf.in", "User", "command1", "sync", 1, "crlf.in",
                   true},
        GoldenCase{"CrLfDeleteSection", "crlf.in", "User", nullptr, nullptr, 1,
                   "crlf_user_deleted.out", false},
        GoldenCase{"ByteOrderMarkKeptAndKeyReplacedInPlace", "bom.in", "General", "timer", "30", 1,
                   "bom_timer_replaced.out", false},
        GoldenCase{"NoFinalLineFeedKeyStartsNewLine", "no_final_lf.in", "General", "timer", "30",
                   1, "no_final_lf_key_added.out", false},
        GoldenCase{"NoFinalLineFeedSectionStartsNewLine", "no_final_lf.in", "Extra", "x", "1", 1,
                   "no_final_lf_section_added.out", false},
        GoldenCase{"NoFinalLineFeedReplaceLastLine", "no_final_lf.in", "General", "sleep", "6",
                   1, "no_final_lf_replaced.out", false},
        GoldenCase{"HeaderAsLastLineGetsEmptyLineThenKey", "header_last.in", "General", "timer",
                   "30", 1, "header_last_key_added.out", false},
        GoldenCase{"EmptyFileGetsEmptyLineHeaderAndKey", "empty.in", "General", "timer", "30", 1,
                   "empty_key_added.out", false},
        GoldenCase{"EmptyFileDeleteKeepsItEmpty", "empty.in", "General", "timer", nullptr, 1,
                   "empty.in", false},
        GoldenCase{"NoFileSetCreatesHeaderAndKey", nullptr, "General", "timer", "30", 1,
                   "created.out", false},
        GoldenCase{"NoFileUnnamedSetCreatesKeyOnly", nullptr, nullptr, "timer", "30", 1,
                   "created_unnamed.out", false},
        GoldenCase{"NoFileDeleteKeyCreatesNothing", nullptr, "General", "timer", nullptr, 1,
                   nullptr, false},
        GoldenCase{"NoFileDeleteSectionCreatesNothing", nullptr, "General", nullptr, nullptr, 1,
                   nullptr, false},
        GoldenCase{"QuotesValueWithSemicolon", "quote.in", "User", "command1", "echo a; echo b",
                   1, "quote_semicolon.out", false},
        GoldenCase{"QuotesValueWithHash", "quote.in", "User", "command1", "ls # all", 1,
                   "quote_hash.out", false},
        GoldenCase{"QuotesValueWithQuoteAndEscapesIt", "quote.in", "User", "command1",
                   "say \"hi\"", 1, "quote_inner_quote.out", false},
        GoldenCase{"QuotesValueEndingInSpace", "quote.in", "User", "command1", "ends ", 1,
                   "quote_trailing_space.out", false},
        GoldenCase{"LeadingSpaceNotQuoted", "quote.in", "User", "command1", " lead", 1,
                   "quote_leading_space.out", false},
        GoldenCase{"TrailingTabNotQuoted", "quote.in", "User", "command1", "tab\t", 1,
                   "quote_trailing_tab.out", false},
        GoldenCase{"EmptyValueLeavesNothingAfterEquals", "quote.in", "User", "command1", "", 1,
                   "quote_empty.out", false},
        GoldenCase{"LongLinesCopiedWhenInserting", "long_lines.in", "General", "timer", "30", 1,
                   "long_lines_key_inserted.out", false},
        GoldenCase{"LongLastLineWithoutLineFeedThenKey", "long_lines.in", "User", "command1",
                   "sync", 1, "long_lines_user_appended.out", false},
        GoldenCase{"LongLinesCopiedWhenReplacing", "long_lines.in", "General", "sleep", "6", 1,
                   "long_lines_sleep_replaced.out", false},
        GoldenCase{"NulBytesCopied", "nul_bytes.in", "General", "timer", "2", 1,
                   "nul_bytes_replaced.out", false},
        GoldenCase{"RefusesLineFeedInValue", "basic.in", "General", "timer", kInjection, 0,
                   "basic.in", true},
        GoldenCase{"RefusesCarriageReturnInValue", "basic.in", "General", "timer", "1\r2", 0,
                   "basic.in", true},
        GoldenCase{"RefusesLineFeedInKey", "basic.in", "General", "ti\nmer", "1", 0, "basic.in",
                   true},
        GoldenCase{"RefusesCarriageReturnInSection", "basic.in", "Gen\reral", "timer", "1", 0,
                   "basic.in", true},
        GoldenCase{"RefusesLineFeedInSectionToDelete", "basic.in", "User\n", nullptr, nullptr,
                   0, "basic.in", true},
        GoldenCase{"RefusesLineFeedInKeyToDelete", "basic.in", "General", "timer\n", nullptr, 0,
                   "basic.in", true},
        GoldenCase{"RefusesLineBreakWhenNoFile", nullptr, "General", "timer", "1\n", 0, nullptr,
                   false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Values written and read back

TEST_F(IniWriteTest, WrittenValuesReadBackAndCountAsStored)
{
    const char *values[] = {"30",     "echo a; echo b", "say \"hi\"", "ends ",  "a#b",
                            "\"",     "\"\"",           "x\\\"y",     "",       "0x0F",
                            "12:30:00", "a=b:c",        "[User]",     "\xC3\xA9"};
    for (const char *value : values) {
        SCOPED_TRACE(value);
        ASSERT_EQ(put("General", "key", value), 1);
        EXPECT_EQ(get("General", "key"), value);
        const ino_t written = inode_of(file_);
        EXPECT_EQ(put("General", "key", value), 1);
        EXPECT_EQ(inode_of(file_), written) << "same value rewrote the file";
    }
}

TEST_F(IniWriteTest, UnquotedBlanksAreLostOnReadBack)
{
    ASSERT_EQ(put("General", "key", " lead"), 1);
    EXPECT_EQ(get("General", "key"), "lead");
    ASSERT_EQ(put("General", "key", "tab\t"), 1);
    EXPECT_EQ(get("General", "key"), "tab");
}

TEST_F(IniWriteTest, EmptyValueReadsAsDefaultInteger)
{
    ASSERT_EQ(put("General", "timer", ""), 1);
    EXPECT_EQ(ini_getl("General", "timer", -1, file_.c_str()), -1);
    EXPECT_EQ(get("General", "timer"), "");
}

TEST_F(IniWriteTest, KeyWrittenAsGivenAndFoundIgnoringCase)
{
    write_file(file_, "[General]\nTIMER=5\n");
    ASSERT_EQ(put("General", "Timer", "6"), 1);
    EXPECT_EQ(*read_file(file_), "[General]\nTimer=6\n");
    EXPECT_EQ(ini_getl("GENERAL", "timer", -1, file_.c_str()), 6);
}

TEST_F(IniWriteTest, ManyChangesKeepEveryOtherSetting)
{
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(put(i % 2 ? "User" : "General", numbered("k", i).c_str(),
                      std::to_string(i * 7).c_str()),
                  1);
    for (int i = 0; i < 40; i += 3)
        ASSERT_EQ(put(i % 2 ? "User" : "General", numbered("k", i).c_str(), nullptr), 1);
    for (int i = 0; i < 40; i++) {
        const int32_t expected = i % 3 == 0 ? -1 : i * 7;
        EXPECT_EQ(ini_getl(i % 2 ? "User" : "General", numbered("k", i).c_str(), -1,
                           file_.c_str()),
                  expected)
            << i;
    }
}

// ---------------------------------------------------------------------------
// Sizes at the edge of the line buffer

TEST_F(IniWriteTest, KeyLineOfFiveHundredTenBytesIsWrittenWhole)
{
    // key (500) + "=" + value (8) + "\n" = 510 bytes, the longest line written.
    const std::string key(500, 'k');
    ASSERT_EQ(put("General", key.c_str(), "12345678"), 1);
    EXPECT_EQ(*read_file(file_), "[General]\n" + key + "=12345678\n");
    EXPECT_EQ(get("General", key.c_str()), "12345678");
}

TEST_F(IniWriteTest, RefusesKeyLineThatWouldBeCut)
{
    write_file(file_, "[General]\ntimer=1\n");
    const std::string key(500, 'k');
    EXPECT_EQ(put("General", key.c_str(), "123456789"), 0);
    EXPECT_EQ(put("General", "timer", std::string(600, '9').c_str()), 0);
    // Quoting adds bytes: 2 quotes and a backslash before each inner quote.
    EXPECT_EQ(put("General", key.c_str(), "a;b\"cd"), 0);
    EXPECT_EQ(*read_file(file_), "[General]\ntimer=1\n");
    EXPECT_EQ(put("General", key.c_str(), "a;b\"c"), 1);
    EXPECT_EQ(get("General", key.c_str()), "a;b\"c");
    EXPECT_EQ(*read_file(file_), "[General]\ntimer=1\n" + key + "=\"a;b\\\"c\"\n");
}

TEST_F(IniWriteTest, RefusesSectionNameThatWouldBeCut)
{
    const std::string longest(507, 's');
    const std::string too_long(508, 's');
    EXPECT_EQ(put(too_long.c_str(), "k", "1"), 0);
    EXPECT_FALSE(fs::exists(file_));
    ASSERT_EQ(put(longest.c_str(), "k", "1"), 1);
    EXPECT_EQ(*read_file(file_), "[" + longest + "]\nk=1\n");
    EXPECT_EQ(get(longest.c_str(), "k"), "1");
}

// ---------------------------------------------------------------------------
// File names

TEST_F(IniWriteTest, RefusesEmptyFileName)
{
    EXPECT_EQ(ini_puts("General", "timer", "1", ""), 0);
}

// A file name of exactly `size` bytes in existing nested folders.
std::string name_of_length(const fs::path &base, size_t size)
{
    fs::path folder = base;
    while (folder.string().size() < size - 60)
        folder /= std::string(50, 'd');
    fs::create_directories(folder);
    const std::string name = folder.string() + "/";
    return name + std::string(size - name.size(), 'f');
}

TEST_F(IniWriteTest, RefusesFileNameLongerThanBuffer)
{
    const std::string name = name_of_length(dir_, 512);
    ASSERT_EQ(name.size(), 512u);
    EXPECT_EQ(ini_puts("General", "timer", "1", name.c_str()), 0);
    EXPECT_FALSE(fs::exists(name));
}

TEST_F(IniWriteTest, FileNameOf511BytesWorks)
{
    const std::string name = name_of_length(dir_, 511);
    ASSERT_EQ(name.size(), 511u);
    ASSERT_EQ(ini_puts("General", "timer", "30", name.c_str()), 1);
    ASSERT_EQ(ini_puts("General", "sleep", "5", name.c_str()), 1);
    EXPECT_EQ(*read_file(name), "[General]\ntimer=30\nsleep=5\n");
    std::string temp = name;
    temp.back() = '~';
    EXPECT_FALSE(fs::exists(temp));
}

TEST_F(IniWriteTest, RefusesFileNameEndingInTilde)
{
    // Such a name would be its own temporary file.
    const fs::path name = dir_ / "bexo.cf~";
    write_file(name, "[General]\ntimer=1\n");
    EXPECT_EQ(ini_puts("General", "timer", "2", name.c_str()), 0);
    EXPECT_EQ(*read_file(name), "[General]\ntimer=1\n");
}

TEST_F(IniWriteTest, RelativeFileNameUsesWorkingFolder)
{
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    const int result = ini_puts("General", "timer", "30", "bexo.cfg");
    fs::current_path(previous);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(*read_file(file_), "[General]\ntimer=30\n");
}

TEST_F(IniWriteTest, NullFileNameStopsTheProgram)
{
    EXPECT_DEATH(ini_puts("General", "timer", "1", nullptr), "filename");
}

// ---------------------------------------------------------------------------
// The temporary file and the replaced file

TEST_F(IniWriteTest, StaleTemporaryFileIsReplacedNotFollowed)
{
    // A temporary file left by an interrupted writer, here even a link to
    // another file, must be neither written through nor left behind.
    const fs::path victim = dir_ / "victim";
    write_file(victim, "keep me\n");
    fs::create_symlink(victim, temp_);
    write_file(file_, "[General]\ntimer=1\n");
    ASSERT_EQ(put("General", "timer", "2"), 1);
    EXPECT_EQ(*read_file(file_), "[General]\ntimer=2\n");
    EXPECT_EQ(*read_file(victim), "keep me\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp_)));
}

TEST_F(IniWriteTest, PermissionBitsOfReplacedFileAreKept)
{
    for (const int mode : {0640, 0600, 0604, 0666}) {
        write_file(file_, "[General]\ntimer=1\n");
        ASSERT_EQ(chmod(file_.c_str(), static_cast<mode_t>(mode)), 0);
        ASSERT_EQ(put("General", "timer", std::to_string(mode).c_str()), 1);
        struct stat st {};
        ASSERT_EQ(stat(file_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(mode));
    }
}

TEST_F(IniWriteTest, NewFileGetsDefaultPermissionBits)
{
    const mode_t previous = umask(027);
    const int result = put("General", "timer", "1");
    umask(previous);
    ASSERT_EQ(result, 1);
    struct stat st {};
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// ---------------------------------------------------------------------------
// Failures: result 0, the old file in place, no copy left behind

TEST_F(IniWriteTest, FolderNotWritableRefusesAndKeepsFile)
{
    write_file(file_, "[General]\ntimer=1\n");
    ASSERT_EQ(chmod(file_.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
    const int status = run_in_child(true, [&] { return put("General", "timer", "2"); });
    chmod(dir_.c_str(), 0755);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(*read_file(file_), "[General]\ntimer=1\n");
    EXPECT_FALSE(fs::exists(temp_));
}

TEST_F(IniWriteTest, FolderNotWritableStillAnswersNothingToDo)
{
    write_file(file_, "[General]\ntimer=1\n");
    ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
    const int same = run_in_child(true, [&] { return put("General", "timer", "1"); });
    const int absent = run_in_child(true, [&] {
        return ini_puts("General", "timer", nullptr, (dir_ / "none.cfg").c_str());
    });
    chmod(dir_.c_str(), 0755);
    EXPECT_EQ(same, 1);
    EXPECT_EQ(absent, 1);
}

TEST_F(IniWriteTest, UnreadableFileIsNotOverwritten)
{
    // A file that exists but cannot be read must not be taken for a missing
    // one and replaced by a single key.
    write_file(file_, "[General]\ntimer=1\nsleep=5\n");
    ASSERT_EQ(chmod(file_.c_str(), 0222), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    const int status = run_in_child(true, [&] { return put("General", "timer", "2"); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(*read_file(file_), "[General]\ntimer=1\nsleep=5\n");
    EXPECT_FALSE(fs::exists(temp_));
}

TEST_F(IniWriteTest, WriteFailureKeepsOldFileAndRemovesCopy)
{
    std::string content = "[General]\n";
    for (int i = 0; i < 2000; i++)
        content += "key" + std::to_string(i) + "=value\n";
    write_file(file_, content);
    const int status = run_in_child(false, [&] {
        // Writes past 4 KiB fail (EFBIG) instead of raising SIGXFSZ.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        return put("General", "timer", "30");
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(*read_file(file_), content);
    EXPECT_FALSE(fs::exists(temp_));
}

TEST_F(IniWriteTest, CreationFailureLeavesNoFile)
{
    const int status = run_in_child(false, [&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4, 4};
        setrlimit(RLIMIT_FSIZE, &limit);
        return put("General", "timer", "30");
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_FALSE(fs::exists(temp_));
}

// A folder or a link to no file in place of the file is refused and stays
// as it is (a new file in place of the link would miss the file meant).
TEST_F(IniWriteTest, FolderOrDanglingLinkInPlaceOfFileIsRefused)
{
    const std::function<void()> make[] = {
        [&] { fs::create_directory(file_); write_file(file_ / "inside", "x"); },
        [&] { fs::create_symlink(dir_ / "none.cfg", file_); },
    };
    for (const auto &made : make) {
        made();
        const auto type = fs::symlink_status(file_).type();
        const int status = run_in_child(false, [&] { return put("General", "timer", "1") * 10 + put("General", "timer", nullptr); });
        EXPECT_EQ(status, 0) << static_cast<int>(type);
        EXPECT_EQ(fs::symlink_status(file_).type(), type);
        EXPECT_FALSE(fs::exists(dir_ / "none.cfg") || fs::exists(temp_));
        fs::remove_all(file_);
    }
}

// A file reached through a chain of links is replaced where it stands, by a
// copy beside it, and the links stay links.
TEST_F(IniWriteTest, LinkChainReplacesItsTargetBesideIt)
{
    fs::create_directory(dir_ / "real");
    const fs::path target = dir_ / "real" / "bexo.cfg";
    write_file(target, "[General]\ntimer=5\n");
    fs::create_symlink(target, dir_ / "middle");
    fs::create_symlink(dir_ / "middle", file_);
    const ino_t before = inode_of(target);
    EXPECT_EQ(put("General", "timer", "45"), 1);
    EXPECT_TRUE(fs::is_symlink(file_) && fs::is_symlink(dir_ / "middle"));
    EXPECT_EQ(*read_file(target), "[General]\ntimer=45\n");
    EXPECT_NE(inode_of(target), before);
    EXPECT_FALSE(fs::exists(temp_) || fs::exists(dir_ / "real" / "bexo.cf~"));
}

TEST_F(IniWriteTest, MissingFolderRefusesSettingButNotDeleting)
{
    const fs::path name = dir_ / "absent" / "bexo.cfg";
    EXPECT_EQ(ini_puts("General", "timer", "1", name.c_str()), 0);
    EXPECT_EQ(ini_puts("General", "timer", nullptr, name.c_str()), 1);
    EXPECT_EQ(ini_puts("General", nullptr, nullptr, name.c_str()), 1);
    EXPECT_FALSE(fs::exists(name.parent_path()));
}

} // namespace
