#include "board/gpio.h"

#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/testutil.h"

using testutil::file_exists;
using testutil::read_file;

namespace {

// A scratch sysfs GPIO tree standing in for the board's.
struct FakeGpioTree {
    testutil::BoardGuard guard;
    testutil::TempDir root;
    FakeGpioTree() { board.gpio_root = root.path().c_str(); }
    std::string line_dir(int gpio)
    {
        std::string dir = root.file("gpio" + std::to_string(gpio));
        mkdir(dir.c_str(), 0755);
        return dir;
    }
};

}  // namespace

TEST(GpioExport, WritesTheLineNumberAndALineEnd)
{
    FakeGpioTree tree;
    gpio_export(7);
    gpio_export(7);  // a second export rewrites from the start
    EXPECT_EQ(read_file(tree.root.file("export")), "7\n");
    gpio_unexport(60);
    EXPECT_EQ(read_file(tree.root.file("unexport")), "60\n");
}

TEST(GpioSetOutput, WritesDirectionThenValue)
{
    FakeGpioTree tree;
    std::string dir = tree.line_dir(117);
    EXPECT_EQ(set_gpio_output(117, 1), 0);
    EXPECT_EQ(read_file(dir + "/direction"), "out");
    EXPECT_EQ(read_file(dir + "/value"), "1\n");
    EXPECT_EQ(set_gpio_output(117, 0), 0);
    EXPECT_EQ(read_file(dir + "/value"), "0\n");
}

TEST(GpioSetOutput, ControlFileFailuresAreReportedNotFatal)
{
    FakeGpioTree tree;
    EXPECT_EQ(set_gpio_output(48, 1), -2);  // line never exported
    EXPECT_FALSE(file_exists(tree.root.file("gpio48/value")));

    // /dev/full opens but fails the write(2) done at fflush, which is where
    // sysfs rejects a value.
    std::string dir = tree.line_dir(7);
    ASSERT_EQ(symlink("/dev/full", (dir + "/direction").c_str()), 0);
    EXPECT_EQ(set_gpio_output(7, 1), -2);
    EXPECT_FALSE(file_exists(dir + "/value"));

    dir = tree.line_dir(115);
    ASSERT_EQ(mkdir((dir + "/value").c_str(), 0755), 0);  // fopen "w" fails
    EXPECT_EQ(set_gpio_output(115, 1), -3);
    EXPECT_EQ(read_file(dir + "/direction"), "out");

    std::string gone = tree.root.file("none");
    board.gpio_root = gone.c_str();
    gpio_export(7);
    gpio_unexport(7);
    EXPECT_FALSE(file_exists(gone));
}
