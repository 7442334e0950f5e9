// The firmware image: block reads at the edges, and loading files of every awkward kind.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/firmware_image.h"

namespace {

TEST(ReadImageBlockTest, OnlyWholeBlocksInsideTheImageAreRead) {
    std::vector<uint8_t> bytes(24);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i + 1);
    }
    FirmwareImage image{bytes.data(), 24};
    FirmwareImage empty{bytes.data(), 0};
    struct Case {
        const FirmwareImage* image;
        uint32_t offset;
        int result;
    };
    const std::vector<Case> cases = {
        {&image, 0, 1},           {&image, 8, 1},  {&image, 16, 1},
        {&image, 3, 1},  // any offset whose 8 bytes are inside
        {&image, 17, 0},          {&image, 24, 0}, {&image, 0xFFFFFFF8u, 0},
        {&image, 0xFFFFFFFFu, 0}, {&empty, 0, 0},
    };
    for (const auto& c : cases) {
        uint8_t block[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(ReadImageBlock(*c.image, c.offset, block), c.result) << c.offset;
        for (uint32_t i = 0; i < 8; ++i) {
            uint8_t expected = c.result ? static_cast<uint8_t>(c.offset + i + 1) : 0xEE;
            EXPECT_EQ(block[i], expected) << c.offset << " byte " << i;
        }
    }
}

class LoadFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("korvane-image-test-" +
                   std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string Write(const std::string& name, size_t size) {
        std::string path = (folder_ / name).string();
        std::ofstream file(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i) {
            file.put(static_cast<char>(i * 3));
        }
        return path;
    }

    std::filesystem::path folder_;
};

TEST_F(LoadFileTest, AVeryLongNameIsKeptWholeAndOpenedAsGiven) {
    // A name of several thousand characters: nested folders so that each part stays legal.
    std::filesystem::path deep = folder_;
    for (int i = 0; i < 12; ++i) {
        deep /= std::string(200, static_cast<char>('a' + i));
    }
    std::filesystem::create_directories(deep);
    std::string path = (deep / "image.bin").string();
    ASSERT_GT(path.size(), 2400u);
    {
        std::ofstream file(path, std::ios::binary);
        file.write("12345678", 8);
    }
    std::vector<std::string> args = {"korvane-loader", path};
    std::vector<const char*> argv = {args[0].c_str(), args[1].c_str()};
    CommandLine command_line{0, false, {}};
    FirmwareImage image{nullptr, 0};
    testing::internal::CaptureStdout();
    int result = ProcessArguments(2, argv.data(), command_line, image);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1) << printed;
    EXPECT_EQ(command_line.file_name, path);
    EXPECT_EQ(image.size, 8u);
    EXPECT_EQ(printed, "   File is 8 bytes.\n");
    ReleaseFirmwareImage(image);

    // The same name with one more character is a different, missing file: shown in full.
    std::string missing = path + "x";
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadFirmwareFile(missing.c_str(), image), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "*** ERROR: Cannot open file " + missing + ".\n");
}

#ifndef _WIN32
// A FIFO named as the firmware file is refused at once: opening it used to wait for a writer
// for ever.
TEST_F(LoadFileTest, AFifoIsRefusedWithoutWaitingForAWriter) {
    const std::string path = (folder_ / "fifo").string();
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    FirmwareImage image{nullptr, 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadFirmwareFile(path.c_str(), image), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "*** ERROR: Cannot open file " + path + ".\n");
    EXPECT_EQ(image.bytes, nullptr);
}
#endif

TEST_F(LoadFileTest, ALaterFileReplacesTheEarlierImage) {
    std::string first = Write("first.bin", 16);
    std::string second = Write("second.bin", 8);
    FirmwareImage image{nullptr, 0};
    testing::internal::CaptureStdout();
    ASSERT_EQ(LoadFirmwareFile(first.c_str(), image), 1);
    ASSERT_EQ(LoadFirmwareFile(second.c_str(), image), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(image.size, 8u);
    EXPECT_EQ(image.bytes[7], 21);
    ReleaseFirmwareImage(image);  // under ASan, the first buffer must not have leaked
    EXPECT_EQ(image.bytes, nullptr);
}

}  // namespace
