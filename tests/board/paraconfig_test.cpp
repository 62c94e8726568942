#include "board/paraconfig.h"

#include <filesystem>
#include <string>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/capture.h"
#include "support/testutil.h"

using testutil::read_file;
using testutil::write_file;

// "result|key|value" of one line; the record starts as "-|-".
static std::string parse(std::string line)
{
    config_item item{{'-'}, {'-'}};
    const int r = get_item_from_line(line.data(), &item);
    return std::to_string(r) + "|" + item.key + "|" + item.value;
}

static std::string echo;  // console output of the last write_value

static int write_value(const std::string &file, const char *key, const std::string &value)
{
    testutil::Capture out;
    const int r = write_conf_value(key, value.c_str(), file.c_str());
    echo = out.end();
    return r;
}

TEST(ConfigFile, ParsesLines)
{
    char s[] = " \t\v\f x \xA0y\x85 \r\n", l[] = " a ", r[] = " a ";
    EXPECT_STREQ(strtrim(s), "x \xA0y\x85");  // bytes >= 0x80 are not blanks
    EXPECT_EQ(std::string(strtriml(l)) + "|" + strtrimr(r), "a | a");
    const std::pair<std::string, std::string> lines[] = {
        {"  port=8000  \r\n", "0|port|8000"},
        {"port = 8000", "0|port | 8000"},
        {"a=b=c", "0|a|b=c"},
        {"=", "0||"},
        {"a#b=#c", "0|a#b|#c"},
        {" \t\r\n", "1|-|-"},
        {"  ##k=1", "2|-|-"},
        {"no equal sign", "3|-|-"},
        {"k=" + std::string(1025, 'v'), "4|-|-"},
        {std::string(1024, 'k') + "=", "0|" + std::string(1024, 'k') + "|"}};
    for (const auto &[line, want] : lines)
        EXPECT_EQ(parse(line), want) << line;
}

// A line longer than 1022 characters is read in pieces, each a line of its
// own; the first entry with a key counts; a value must fit whole.
TEST(ConfigFile, ReadsEntries)
{
    testutil::TempDir dir;
    const std::string f = dir.file("config.txt"), none = dir.file("none");
    write_file(f, "# c\n\n \tid=0102030405A6 \r\nid=FF\nfits=1234567890123456789\nlong=" +
                      std::string(20, '1') + "\na=" + std::string(1020, 'x') + "b=yyy\n");
    config_item items[6];
    int num = -1;
    EXPECT_EQ(file_to_items(f.c_str(), items, 5, &num), 2);
    EXPECT_EQ(file_to_items(none.c_str(), items, 6, &num), 1);
    ASSERT_EQ(file_to_items(f.c_str(), items, 6, &num), 0);
    EXPECT_EQ(
        std::to_string(num) + "|" + items[4].value + "|" + items[5].key + "=" + items[5].value,
        "6|" + std::string(1020, 'x') + "|b=yyy");

    char buf[20] = "old";
    auto value = [&](const char *key, const std::string &file) {
        return std::to_string(read_conf_value(key, buf, sizeof buf, file.c_str())) + buf;
    };
    testutil::Capture out;
    const std::string too_long = value("long", f), absent = value("x", f),
                      no_file = value("id", none);
    EXPECT_EQ(out.end(), "config value of long is too long (20 characters, at most 19 fit)\n");
    EXPECT_EQ(too_long, "0old");
    EXPECT_EQ(absent, "0old");
    EXPECT_EQ(no_file, "1old");
    EXPECT_EQ(value("id", f), "00102030405A6");
    EXPECT_EQ(value("fits", f), "01234567890123456789");
}

// A rewrite keeps the entries, trimmed, and the mode; a refused one leaves
// the file as it was and no temporary file behind. (Failing system calls:
// tests/crash.)
TEST(ConfigFile, Rewrites)
{
    testutil::TempDir dir;
    const std::string f = dir.file("config.txt");
    EXPECT_EQ(write_value(f, "k", "v"), 1);
    EXPECT_FALSE(testutil::file_exists(f));
    // Bytes but no entry (or a read that got none): refused, the file as it was.
    for (const std::string &none : {std::string("# c\n\ntext\n"), std::string("")}) {
        write_file(f, none);
        EXPECT_EQ(write_value(f, "k", "v"), none.empty() ? 0 : 1);
        const std::string refusal =
            none.empty() ? "" : "config file " + f + " gave no entry, not rewritten\n";
        EXPECT_EQ(read_file(f), none);
        EXPECT_EQ(echo, refusal);
    }
    write_file(f, "# c\n\n  k = 1 \r\ntext\n\tid=0102\nid=FFFF\na=b=c\n");
    chmod(f.c_str(), 0640);
    ASSERT_EQ(write_value(f, "id", "0A0B"), 0);
    EXPECT_EQ(read_file(f), "k = 1\nid=0A0B\nid=FFFF\na=b=c\n");
    EXPECT_EQ(echo, read_file(f));
    struct stat st;
    EXPECT_EQ(stat(f.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0640u);

    std::string many = "k=v\n";
    for (int i = 1; i < 20; i++)
        many += "k" + std::to_string(i) + "=v\n";
    write_file(f, many);
    EXPECT_EQ(write_value(f, "absent", "v"), 0);  // 20 entries still fit
    write_file(f, many += "k20=v\n");
    EXPECT_EQ(write_value(f, "k", "new"), 1);
    EXPECT_EQ(read_file(f), many);

    // The line "k=value" must be read back whole: at most 1022 characters.
    write_file(f, "# c\nk=v\n");
    for (const std::string &v : {std::string("v\nx=1"), std::string("v\r"), std::string(1025, 'v'),
                                 std::string(1021, 'v')})
        EXPECT_EQ(write_value(f, "k", v), 1) << v.size();
    EXPECT_EQ(read_file(f), "# c\nk=v\n");
    EXPECT_EQ(write_value(f, "k", std::string(1020, 'v')), 0);
    EXPECT_EQ(read_file(f), "k=" + std::string(1020, 'v') + "\n");

    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}
