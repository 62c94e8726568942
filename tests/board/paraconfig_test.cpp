#include "board/paraconfig.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/testutil.h"

namespace {

// "result|key|value" of one line; the record starts as "-|-".
std::string parse(std::string line)
{
    config_item item{};
    std::strcpy(item.key, "-");
    std::strcpy(item.value, "-");
    int r = get_item_from_line(line.data(), &item);
    return std::to_string(r) + "|" + item.key + "|" + item.value;
}

long files_in(const std::string &dir)
{
    using std::filesystem::directory_iterator;
    return std::distance(directory_iterator(dir), directory_iterator());
}

// write_conf_value with its console output captured.
int write_value(const char *key, const std::string &value, const std::string &file,
                std::string *echo = nullptr)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = write_conf_value(key, value.c_str(), file.c_str());
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    if (echo)
        *echo = out;
    return r;
}

const char kMessy[] = "# gateway settings\n\n  server_port_num=8000  \r\n"
                      "server_ip_addr = 192.0.2.9\njust some text\n"
                      "\tdevice_id=0102030405A6\ndevice_id=FFFFFFFFFFFF\na=b=c\n";
const char kNormalised[] = "server_port_num=8000\nserver_ip_addr = 192.0.2.9\n"
                           "device_id=0102030405A6\ndevice_id=FFFFFFFFFFFF\na=b=c\n";

}  // namespace

TEST(ConfigFileParse, TrimsAndSplitsLines)
{
    char s[] = " \t\v\f x \xA0y\x85 \r\n";
    EXPECT_STREQ(strtrim(s), "x \xA0y\x85");  // bytes >= 0x80 are not blanks
    char left[] = "  a ", right[] = "  a ";
    EXPECT_STREQ(strtriml(left), "a ");
    EXPECT_STREQ(strtrimr(right), "  a");

    EXPECT_EQ(parse("  server_port_num=8000  \r\n"), "0|server_port_num|8000");
    EXPECT_EQ(parse("server_port_num = 8000"), "0|server_port_num | 8000");
    EXPECT_EQ(parse("a=b=c"), "0|a|b=c");
    EXPECT_EQ(parse("="), "0||");
    EXPECT_EQ(parse("a#b=#c"), "0|a#b|#c");
    EXPECT_EQ(parse(" \t\r\n"), "1|-|-");
    EXPECT_EQ(parse("   #server_ip_addr=192.0.2.1"), "2|-|-");
    EXPECT_EQ(parse("no equal sign"), "3|-|-");
    EXPECT_EQ(parse("k=" + std::string(1025, 'v')), "4|-|-");
    EXPECT_EQ(parse(std::string(1024, 'k') + "=").substr(0, 3), "0|k");
}

TEST(ConfigFileRead, FirstEntryCountsAndValueMustFit)
{
    testutil::TempDir dir;
    std::string f = dir.file("config.txt");
    testutil::write_file(f, std::string(kMessy) + "fits=1234567890123456789\n"
                                                  "long=12345678901234567890\n");
    char buf[20] = "old";
    EXPECT_EQ(read_conf_value("device_id", buf, sizeof buf, f.c_str()), 0);
    EXPECT_STREQ(buf, "0102030405A6");
    EXPECT_EQ(read_conf_value("fits", buf, sizeof buf, f.c_str()), 0);
    EXPECT_STREQ(buf, "1234567890123456789");

    std::strcpy(buf, "old");
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_conf_value("long", buf, sizeof buf, f.c_str()), 0);
    EXPECT_EQ(read_conf_value("server_ip_addr", buf, sizeof buf, f.c_str()), 0);
    EXPECT_EQ(read_conf_value("just some text", buf, sizeof buf, f.c_str()), 0);
    EXPECT_EQ(read_conf_value("fits", buf, sizeof buf, dir.file("none").c_str()), 1);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "config value of long is too long (20 characters, at most 19 fit)\n");
    EXPECT_STREQ(buf, "old");
}

TEST(ConfigFileItems, LongLineComesInPiecesAndCapacityIsKept)
{
    testutil::TempDir dir;
    std::string f = dir.file("config.txt");
    testutil::write_file(f, "a=" + std::string(1020, 'x') + "b=" + std::string(1020, 'y') +
                                "c=" + std::string(954, 'z') + "\n");
    config_item items[3];
    int num = -1;
    ASSERT_EQ(file_to_items(f.c_str(), items, 3, &num), 0);
    ASSERT_EQ(num, 3);
    EXPECT_EQ(std::string(items[0].value), std::string(1020, 'x'));
    EXPECT_EQ(std::string(items[1].key), "b");
    EXPECT_EQ(std::strlen(items[2].value), 954u);

    num = -1;
    EXPECT_EQ(file_to_items(f.c_str(), items, 2, &num), 2);
    EXPECT_EQ(file_to_items(dir.file("none").c_str(), items, 3, &num), 1);
    EXPECT_EQ(file_to_items(dir.path().c_str(), items, 3, &num), 1);  // a read fails
    EXPECT_EQ(num, -1);
}

TEST(ConfigFileWrite, RewriteNormalisesChangesFirstAndEchoes)
{
    testutil::TempDir dir;
    std::string f = dir.file("config.txt");
    testutil::write_file(f, kMessy);
    ASSERT_EQ(write_value("absent", "1", f), 0);
    EXPECT_EQ(testutil::read_file(f), kNormalised);

    chmod(f.c_str(), 0640);
    std::string echo;
    ASSERT_EQ(write_value("device_id", "0A0B0C0D0E0F", f, &echo), 0);
    std::string expected = kNormalised;
    expected.replace(expected.find("0102030405A6"), 12, "0A0B0C0D0E0F");
    EXPECT_EQ(testutil::read_file(f), expected);
    EXPECT_EQ(echo, expected);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(files_in(dir.path()), 1);
}

TEST(ConfigFileWrite, RefusalsLeaveFileUntouched)
{
    testutil::TempDir dir;
    std::string f = dir.file("config.txt");
    EXPECT_EQ(write_value("k", "v", f), 1);
    EXPECT_FALSE(testutil::file_exists(f));

    std::string many;
    for (int i = 0; i < 21; i++)
        many += "k" + std::to_string(i) + "=v\n";
    testutil::write_file(f, many);
    EXPECT_EQ(write_value("k0", "new", f), 1);
    EXPECT_EQ(testutil::read_file(f), many);

    testutil::write_file(f, "# c\nk=v\n");
    EXPECT_EQ(write_value("k", "v\nx=1", f), 1);
    EXPECT_EQ(write_value("k", "v\r", f), 1);
    EXPECT_EQ(write_value("k", std::string(1025, 'v'), f), 1);
    // "k=" plus the value must come back as one line of at most 1022 characters.
    EXPECT_EQ(write_value("k", std::string(1021, 'v'), f), 1);
    EXPECT_EQ(testutil::read_file(f), "# c\nk=v\n");
    EXPECT_EQ(write_value("k", std::string(1020, 'v'), f), 0);
    char back[1025] = "";
    EXPECT_EQ(read_conf_value("k", back, sizeof back, f.c_str()), 0);
    EXPECT_EQ(std::string(back), std::string(1020, 'v'));
    EXPECT_EQ(files_in(dir.path()), 1);
}

TEST(ConfigFileWrite, FailedWriteKeepsOriginalAndRemovesTemporary)
{
    testutil::TempDir dir;
    std::string f = dir.file("config.txt");
    const std::string original = "# keep me\nserver_ip_addr=192.0.2.10\n";
    testutil::write_file(f, original);

    // A file size limit makes writing the new file fail, even as root.
    rlimit saved, small;
    getrlimit(RLIMIT_FSIZE, &saved);
    small = saved;
    small.rlim_cur = 8;
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int r = write_value("server_ip_addr", "192.0.2.77", f);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(testutil::read_file(f), original);
    EXPECT_EQ(files_in(dir.path()), 1);
}

TEST(ConfigFileWrite, UnwritableDirectoryKeepsOriginal)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    testutil::TempDir dir;
    std::string f = dir.file("config.txt");
    testutil::write_file(f, "k=v\n");
    chmod(dir.path().c_str(), 0555);
    int r = write_value("k", "new", f);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(testutil::read_file(f), "k=v\n");
    EXPECT_EQ(files_in(dir.path()), 1);
}
