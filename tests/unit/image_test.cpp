// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "boot_image.h"
#include "image.h"
#include "process.h"

namespace {

TEST(ImageSize, RoundsUpToWholeBlocksInSixtyFourBits) {
    EXPECT_EQ(RoundUpToBlocks(0), 0);
    EXPECT_EQ(RoundUpToBlocks(1), 1024);
    EXPECT_EQ(RoundUpToBlocks(1024), 1024);
    EXPECT_EQ(RoundUpToBlocks(1500), 2048);
    EXPECT_EQ(RoundUpToBlocks((int64_t{1} << 32) + 1024), (int64_t{1} << 32) + 1024);
}

TEST(ImageSize, ClassLimits) {
    EXPECT_EQ(SizeClassFor(RoundUpToBlocks(0)), 1);
    EXPECT_EQ(SizeClassFor(RoundUpToBlocks(1039360)), 1);
    EXPECT_EQ(SizeClassFor(RoundUpToBlocks(1039361)), 2);
    EXPECT_EQ(SizeClassFor(RoundUpToBlocks(1040384)), 2);
    EXPECT_EQ(SizeClassFor(RoundUpToBlocks(2087936)), 2);
    EXPECT_EQ(SizeClassFor(RoundUpToBlocks(2087937)), kSizeClassTooLarge);
    EXPECT_EQ(SizeClassFor(RoundUpToBlocks(2097152)), kSizeClassTooLarge);
    // Would look like 1 KiB in 32-bit arithmetic.
    EXPECT_EQ(SizeClassFor(RoundUpToBlocks((int64_t{1} << 32) + 1024)), kSizeClassTooLarge);
}

TEST(ImageSize, LoaderAndAnnouncementFollowModeAndClass) {
    EXPECT_STREQ(LoaderFileFor(RunMode::Program, 1), "bootcode_mac.bin");
    EXPECT_STREQ(LoaderFileFor(RunMode::Program, 2), "bootcode_mac2M.bin");
    EXPECT_STREQ(LoaderFileFor(RunMode::Test, 1), "bootcode_mac.bin");
    EXPECT_STREQ(LoaderFileFor(RunMode::Erase, 1), "bootcode_mac2M_erase.bin");
    EXPECT_STREQ(AnnouncementFor(RunMode::Program, 2), "\nProgramming 2 MB Flash code\n");
    EXPECT_STREQ(AnnouncementFor(RunMode::Test, 1), "\nProgramming 1 MB Flash code\n");
    EXPECT_EQ(AnnouncementFor(RunMode::Erase, 1), nullptr);
}

class InTemporaryFolder : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const std::string& content) {
        folder.Write(name, content);
        return folder.File(name);
    }
    TemporaryFolder folder;
    const std::string& folder_ = folder.path;
};

TEST_F(InTemporaryFolder, OnlyRegularFilesAreMeasured) {
    FileIdentity measured{-1, 0, 0};
    const std::string image = Write("img", std::string(1500, 'x'));
    std::FILE* file = OpenMeasured(image.c_str(), &measured);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(measured.length, 1500);
    EXPECT_EQ(std::fgetc(file), 'x');  // positioned at the start
    std::fclose(file);

    FileIdentity other{};
    EXPECT_EQ(OpenMeasured((folder_ + "/missing").c_str(), &other), nullptr);
    EXPECT_EQ(OpenMeasured(folder_.c_str(), &other), nullptr);
    std::string fifo = folder_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(OpenMeasured(fifo.c_str(), &other), nullptr);  // and does not wait for a writer

    // Opened again, it is the measured file only while nobody has changed or replaced it.
    auto reopened = [&] {
        FileIdentity now{};
        std::FILE* again = OpenMeasured(image.c_str(), &now);
        EXPECT_NE(again, nullptr);
        if (again != nullptr) std::fclose(again);
        return now;
    };
    EXPECT_TRUE(SameFileAndLength(measured, reopened()));
    Write("img", std::string(3000, 'x'));
    EXPECT_FALSE(SameFileAndLength(measured, reopened())) << "grown in place";
    Write("img", std::string(1500, 'x'));
    EXPECT_TRUE(SameFileAndLength(measured, reopened()));
    ASSERT_EQ(std::rename(Write("new", std::string(1500, 'y')).c_str(), image.c_str()), 0);
    EXPECT_FALSE(SameFileAndLength(measured, reopened()))
        << "replaced by a file of the same length";
}

TEST(EndMarker, PlacedBeforeTheFirstZeroWord) {
    BootImage image{};
    for (int i = 0; i < 100; ++i) image.bytes[i] = 0x11;
    PlaceEndMarker(&image);
    EXPECT_EQ(std::vector<uint8_t>(image.bytes + 96, image.bytes + 100),
              (std::vector<uint8_t>{0xEC, 0x02, 0x00, 0x10}));
    EXPECT_EQ(image.bytes[95], 0x11);
    for (int i = 100; i < kBootImageSize; ++i) ASSERT_EQ(image.bytes[i], 0) << i;

    // A partial last word counts as non-zero.
    BootImage partial{};
    for (int i = 0; i < 101; ++i) partial.bytes[i] = 0x22;
    PlaceEndMarker(&partial);
    EXPECT_EQ(partial.bytes[100], 0xEC);
    EXPECT_EQ(partial.bytes[103], 0x10);
    EXPECT_EQ(partial.bytes[99], 0x22);

    // Code after the first zero word is left alone.
    BootImage gap{};
    for (int i = 0; i < kBootImageSize; ++i) gap.bytes[i] = 0x33;
    for (int i = 512; i < 516; ++i) gap.bytes[i] = 0;
    PlaceEndMarker(&gap);
    EXPECT_EQ(gap.bytes[508], 0xEC);
    EXPECT_EQ(gap.bytes[511], 0x10);
    EXPECT_EQ(gap.bytes[516], 0x33);
    EXPECT_EQ(gap.bytes[2047], 0x33);

    // No zero word at all: the last word of the image.
    BootImage full{};
    for (uint8_t& b : full.bytes) b = 0x44;
    PlaceEndMarker(&full);
    EXPECT_EQ(full.bytes[2043], 0x44);
    EXPECT_EQ(full.bytes[2044], 0xEC);
    EXPECT_EQ(full.bytes[2047], 0x10);

    // A zero first word: sent as loaded.
    BootImage empty{};
    empty.bytes[4] = 0x55;
    PlaceEndMarker(&empty);
    EXPECT_EQ(empty.bytes[0], 0);
    EXPECT_EQ(empty.bytes[4], 0x55);
}

TEST_F(InTemporaryFolder, LoaderIsZeroFilledAndSizeChecked) {
    BootImage image;
    std::memset(image.bytes, 0x99, sizeof image.bytes);
    ASSERT_EQ(LoadBootImage(Write("small.bin", std::string(100, '\x01')).c_str(), &image),
              LoaderStatus::Loaded);
    EXPECT_EQ(image.bytes[95], 0x01);
    EXPECT_EQ(image.bytes[96], 0xEC);
    for (int i = 100; i < kBootImageSize; ++i) ASSERT_EQ(image.bytes[i], 0) << i;

    std::memset(image.bytes, 0x99, sizeof image.bytes);
    ASSERT_EQ(LoadBootImage(Write("empty.bin", "").c_str(), &image), LoaderStatus::Loaded);
    for (int i = 0; i < kBootImageSize; ++i) ASSERT_EQ(image.bytes[i], 0) << i;

    EXPECT_EQ(LoadBootImage(Write("full.bin", std::string(2048, '\x07')).c_str(), &image),
              LoaderStatus::Loaded);
    EXPECT_EQ(LoadBootImage(Write("long.bin", std::string(2049, '\x07')).c_str(), &image),
              LoaderStatus::Invalid);
    EXPECT_EQ(LoadBootImage((folder_ + "/none.bin").c_str(), &image), LoaderStatus::CannotOpen);
    EXPECT_EQ(LoadBootImage(folder_.c_str(), &image), LoaderStatus::CannotOpen);
}

}  // namespace
