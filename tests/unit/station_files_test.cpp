// SPDX-License-Identifier: MIT
// The station's files on shared, hostile ground: the private image copy, the record,
// and what a port leads to. Nothing here may block on a FIFO or follow a link it did
// not make.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "expected_output.h"
#include "process.h"
#include "pty_pair.h"
#include "sha256.h"
#include "station_files.h"

namespace {

class StationFiles : public ::testing::Test {
  protected:
    // Runs `body` in the temporary folder as the working folder.
    template <typename Body>
    void InFolder(Body body) {
        char previous[4096];
        ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
        ASSERT_EQ(chdir(folder_.path.c_str()), 0);
        body();
        ASSERT_EQ(chdir(previous), 0);
    }
    TemporaryFolder folder_;
};

TEST_F(StationFiles, ImageCopyIsPrivateExactAndGoesAway) {
    const std::string image = PatternImage(150000, 3);
    folder_.Write("fw.bin", image);
    ImageCopy copy;
    std::string problem;
    ASSERT_TRUE(MakeImageCopy(folder_.File("fw.bin"), folder_.path, &copy, &problem)) << problem;
    EXPECT_EQ(copy.path, copy.folder + "/fw.bin");
    EXPECT_EQ(copy.folder.rfind(folder_.path + "/", 0), 0u);
    struct stat info;
    ASSERT_EQ(stat(copy.folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(copy.path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0400u);
    EXPECT_EQ(copy.bytes, 150000);
    Sha256 hash;
    Sha256Start(&hash);
    Sha256Add(&hash, image.data(), image.size());
    EXPECT_EQ(copy.sha256, Sha256FinishHex(&hash));

    // Editing the image afterwards leaves the copy as it was.
    folder_.Write("fw.bin", "changed");
    EXPECT_TRUE(folder_.Read(copy.path.substr(folder_.path.size() + 1)) == image);

    const std::string folder = copy.folder;
    RemoveImageCopy(&copy);
    EXPECT_NE(access(folder.c_str(), F_OK), 0) << "the private folder stays";
}

TEST_F(StationFiles, ImagesThatAreRefused) {
    ASSERT_EQ(mkfifo(folder_.File("fifo").c_str(), 0600), 0);  // would block an open
    ASSERT_EQ(mkdir(folder_.File("folder").c_str(), 0700), 0);
    folder_.Write("big.bin", "");
    ASSERT_EQ(truncate(folder_.File("big.bin").c_str(), kLargestImage + 1), 0);
    folder_.Write("largest.bin", "");
    ASSERT_EQ(truncate(folder_.File("largest.bin").c_str(), kLargestImage), 0);
    PtyPair terminal;
    ASSERT_TRUE(OpenPtyPair(&terminal));

    for (std::string name : {std::string("missing"), std::string("fifo"), std::string("folder"),
                             std::string("big.bin"), terminal.slavePath}) {
        SCOPED_TRACE(name);
        ImageCopy copy;
        std::string problem;
        std::string path = name[0] == '/' ? name : folder_.File(name);
        EXPECT_FALSE(MakeImageCopy(path, folder_.path, &copy, &problem));
        EXPECT_NE(problem.find(path), std::string::npos) << problem;
        EXPECT_TRUE(copy.folder.empty());
    }
    ClosePtyPair(&terminal);
    ImageCopy copy;
    std::string problem;
    EXPECT_TRUE(MakeImageCopy(folder_.File("largest.bin"), folder_.path, &copy, &problem)) << problem;
    EXPECT_EQ(copy.bytes, kLargestImage);
    RemoveImageCopy(&copy);
    // Nothing left behind by the refusals either: only what the test made.
    auto entries = std::filesystem::directory_iterator(folder_.path);
    EXPECT_EQ(std::distance(std::filesystem::begin(entries), std::filesystem::end(entries)), 4);
}

TEST_F(StationFiles, RecordIsAppendedToARegularFileOnly) {
    folder_.Write("old.jsonl", "{\"earlier\":1}\n");
    std::string problem;
    int fd = OpenRecordForAppending(folder_.File("old.jsonl"), &problem);
    ASSERT_GE(fd, 0) << problem;
    ASSERT_TRUE(AppendRecordLine(fd, "{\"next\":2}\n", &problem)) << problem;
    close(fd);
    EXPECT_EQ(folder_.Read("old.jsonl"), "{\"earlier\":1}\n{\"next\":2}\n");

    fd = OpenRecordForAppending(folder_.File("new.jsonl"), &problem);
    ASSERT_GE(fd, 0) << problem;
    close(fd);
    EXPECT_EQ(access(folder_.File("new.jsonl").c_str(), F_OK), 0);

    ASSERT_EQ(mkfifo(folder_.File("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(folder_.File("folder").c_str(), 0700), 0);
    ASSERT_EQ(symlink("old.jsonl", folder_.File("link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere.jsonl", folder_.File("dangling").c_str()), 0);
    for (const char* name : {"fifo", "folder", "link", "dangling"}) {
        SCOPED_TRACE(name);
        EXPECT_LT(OpenRecordForAppending(folder_.File(name), &problem), 0);
        EXPECT_FALSE(problem.empty());
    }
    EXPECT_NE(access(folder_.File("nowhere.jsonl").c_str(), F_OK), 0) << "created through a link";
    EXPECT_EQ(folder_.Read("old.jsonl"), "{\"earlier\":1}\n{\"next\":2}\n");
}

TEST_F(StationFiles, WhatAPortLeadsTo) {
    PtyPair line;
    ASSERT_TRUE(OpenPtyPair(&line));
    ASSERT_EQ(symlink(line.slavePath.c_str(), folder_.File("COM2").c_str()), 0);
    ASSERT_EQ(symlink("/dev/ttyUSB-not-plugged-in", folder_.File("COM3").c_str()), 0);
    // A folder of stable names, as udev makes them: one leads to the port's device.
    ASSERT_EQ(mkdir(folder_.File("by-id").c_str(), 0700), 0);
    ASSERT_EQ(symlink("/dev/null", folder_.File("by-id/usb-other-port0").c_str()), 0);
    ASSERT_EQ(symlink(line.slavePath.c_str(), folder_.File("by-id/usb-ours-port0").c_str()), 0);
    ASSERT_EQ(symlink("/nowhere", folder_.File("by-id/usb-gone-port0").c_str()), 0);

    InFolder([&] {
        std::string device;
        EXPECT_TRUE(FindPortDevice(2, &device));
        EXPECT_EQ(device, line.slavePath);
        EXPECT_FALSE(FindPortDevice(3, &device)) << "a link to a missing adapter";
        EXPECT_EQ(PortTargetName(3), "/dev/ttyUSB-not-plugged-in");
        EXPECT_EQ(PortTargetName(8), "/dev/ttyS7");
        EXPECT_EQ(StableAdapterName(line.slavePath, folder_.File("by-id")), folder_.File("by-id/usb-ours-port0"));
        EXPECT_EQ(StableAdapterName("/dev/zero", folder_.File("by-id")), "");
        EXPECT_EQ(StableAdapterName(line.slavePath, folder_.File("no-such-folder")), "");
    });
    ClosePtyPair(&line);
}

}  // namespace
