#include "board/gpio.h"

#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/testutil.h"

using testutil::read_file;

// A scratch directory stands in for the sysfs GPIO tree.
TEST(Gpio, WritesControlFilesAndReportsFailures)
{
    testutil::BoardGuard guard;
    testutil::TempDir root;
    board.gpio_root = root.path().c_str();
    auto line_dir = [&](int n) {
        mkdir(root.file("gpio" + std::to_string(n)).c_str(), 0755);
        return root.file("gpio" + std::to_string(n) + "/");
    };
    gpio_export(7);
    gpio_unexport(60);
    EXPECT_EQ(read_file(root.file("export")), "7\n");
    EXPECT_EQ(read_file(root.file("unexport")), "60\n");
    std::string d = line_dir(117);
    EXPECT_EQ(set_gpio_output(117, 1), 0);
    EXPECT_EQ(read_file(d + "direction"), "out");
    EXPECT_EQ(read_file(d + "value"), "1\n");
    EXPECT_EQ(set_gpio_output(117, 0), 0);
    EXPECT_EQ(read_file(d + "value"), "0\n");

    EXPECT_EQ(set_gpio_output(48, 1), -2);  // line not exported
    // /dev/full opens but fails the write(2), where sysfs rejects.
    ASSERT_EQ(symlink("/dev/full", ((d = line_dir(7)) + "direction").c_str()), 0);
    EXPECT_EQ(set_gpio_output(7, 1), -2);
    EXPECT_FALSE(testutil::file_exists(d + "value"));
    ASSERT_EQ(mkdir(((d = line_dir(115)) + "value").c_str(), 0755), 0);
    EXPECT_EQ(set_gpio_output(115, 1), -3);
    const std::string gone = root.file("none");
    board.gpio_root = gone.c_str();
    gpio_export(7);
    EXPECT_FALSE(testutil::file_exists(gone));
}
