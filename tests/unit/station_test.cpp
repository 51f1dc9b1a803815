// SPDX-License-Identifier: MIT
// The station's decisions without a child, a pipe or a terminal: the command line,
// the reading of brivane's output, what a run's end means, the record's line, the
// display's text, and the checksum.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_result.h"
#include "brivane_output.h"
#include "display.h"
#include "expected_output.h"
#include "sha256.h"
#include "station_args.h"

namespace {

std::string Sha256Hex(const std::string& bytes, size_t piece) {
    Sha256 hash;
    Sha256Start(&hash);
    for (size_t at = 0; at < bytes.size(); at += piece) {
        Sha256Add(&hash, bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    return Sha256FinishHex(&hash);
}

TEST(StationChecksum, StandardVectorsWholeAndInUnevenPieces) {
    const struct {
        std::string input;
        const char* digest;
    } kVectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& vector : kVectors) {
        SCOPED_TRACE(vector.input.substr(0, 20));
        for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, size_t{1000}, vector.input.size() + 1}) {
            EXPECT_EQ(Sha256Hex(vector.input, piece), vector.digest) << "pieces of " << piece;
        }
    }
}

TEST(StationCommandLine, Accepted) {
    StationOptions options;
    std::string problem;
    ASSERT_EQ(ReadStationArgs({"fw.bin", "1"}, &options, &problem), StationArgsVerdict::Run) << problem;
    EXPECT_EQ(options.imagePath, "fw.bin");
    EXPECT_EQ(options.ports, std::vector<int>({1}));
    EXPECT_EQ(options.baud, 115200);
    EXPECT_TRUE(options.logPath.empty());
    EXPECT_FALSE(options.once);

    // Options anywhere, and as --name=value; "--" ends them, so "-x" can be an image.
    ASSERT_EQ(ReadStationArgs({"fw.bin", "8", "--once", "--baud=28800", "3", "--log", "r.jsonl", "1"}, &options,
                              &problem),
              StationArgsVerdict::Run)
        << problem;
    EXPECT_EQ(options.ports, std::vector<int>({8, 3, 1}));
    EXPECT_EQ(options.baud, 28800);
    EXPECT_EQ(options.logPath, "r.jsonl");
    EXPECT_TRUE(options.once);
    ASSERT_EQ(ReadStationArgs({"--", "-x", "2"}, &options, &problem), StationArgsVerdict::Run) << problem;
    EXPECT_EQ(options.imagePath, "-x");
    ASSERT_EQ(ReadStationArgs({"fw.bin", "1", "2", "3", "4", "5", "6", "7", "8"}, &options, &problem),
              StationArgsVerdict::Run);
    EXPECT_EQ(options.ports.size(), 8u);

    EXPECT_EQ(ReadStationArgs({"fw.bin", "--help"}, &options, &problem), StationArgsVerdict::Help);
    EXPECT_EQ(ReadStationArgs({"--version"}, &options, &problem), StationArgsVerdict::Version);
}

TEST(StationCommandLine, Refused) {
    const std::vector<std::vector<std::string>> kRefused = {
        {},
        {"--once", "fw.bin"},
        {"fw.bin", "9"},
        {"fw.bin", "1x"},
        {"fw.bin", "4294967297"},
        {"fw.bin", "1", "2", "3", "4", "5", "6", "7", "8", "1"},
        {"fw.bin", "1", "--baud", "14400"},
        {"fw.bin", "1", "--baud"},
        {"fw.bin", "1", "--log="},
        {"fw.bin", "1", "--once=yes"},
        {"", "1"},
    };
    for (const auto& args : kRefused) {
        SCOPED_TRACE(testing::PrintToString(args));
        StationOptions options;
        std::string problem;
        EXPECT_EQ(ReadStationArgs(args, &options, &problem), StationArgsVerdict::Refused);
        EXPECT_FALSE(problem.empty());
    }
}

// What brivane prints for a whole program run of `rounded` bytes.
std::string ProgramRun(int64_t rounded, const std::string& beforeDownload = "") {
    return kBanner + Announcement(1) + StageOneOutput(beforeDownload) + ProgrammingOutput(rounded) +
           ProgrammedLine("/tmp/x/fw.bin") + kPrompt;
}

// Feeds `output` in pieces that end at each of `cuts`.
BoardProgress FeedInPieces(const std::string& output, const std::vector<size_t>& cuts) {
    BoardProgress progress;
    size_t at = 0;
    for (size_t cut : cuts) {
        FeedBoardOutput(&progress, output.data() + at, cut - at);
        at = cut;
    }
    FeedBoardOutput(&progress, output.data() + at, output.size() - at);
    return progress;
}

TEST(StationReadsBrivane, PhasesAndCountersByteByByte) {
    // One byte at a time, the worst a pipe can do: the phases go only forward and a
    // counter never shows a value brivane did not print, such as 199 while " 99%)"
    // becomes "100%)".
    const std::string run = ProgramRun(200 * 1024);
    BoardProgress progress;
    BoardPhase phase = BoardPhase::Starting;
    int percent = 0;
    std::vector<BoardPhase> seen = {phase};
    for (char c : run) {
        FeedBoardOutput(&progress, &c, 1);
        if (progress.phase != phase) {
            phase = progress.phase;
            percent = 0;
            seen.push_back(phase);
        }
        ASSERT_GE(progress.percent, percent);
        ASSERT_LE(progress.percent, 100);
        percent = progress.percent;
    }
    EXPECT_EQ(seen, std::vector<BoardPhase>({BoardPhase::Starting, BoardPhase::WaitingForBoard, BoardPhase::Loading,
                                             BoardPhase::Erasing, BoardPhase::Programming}));
    EXPECT_EQ(percent, 100);
    EXPECT_EQ(BoardMessage(progress), "Successfully programmed '/tmp/x/fw.bin'");
    // Split once anywhere, the run reads the same in the end.
    for (size_t cut = 0; cut <= run.size(); cut += 7) {
        BoardProgress halves = FeedInPieces(run, {cut});
        ASSERT_EQ(halves.percent, 100) << "cut at " << cut;
        ASSERT_EQ(BoardMessage(halves), BoardMessage(progress)) << "cut at " << cut;
    }
}

TEST(StationReadsBrivane, WhereARunStands) {
    const std::string prompt = kBanner + Announcement(1) + "Hold in the small recessed button while powering up the Veskor...";
    const struct {
        const char* what;
        std::string output;
        BoardPhase phase;
        int percent;
        std::string message;
    } kCases[] = {
        {"files checked, port not yet open", kBanner + Announcement(1), BoardPhase::Starting, 0,
         "Programming 1 MB Flash code"},
        {"port refused before the prompt", kBanner + Announcement(1) + CouldNotOpenPort(2) + kPrompt,
         BoardPhase::Starting, 0, "Could not open serial port COM2"},
        {"waiting for a board", prompt, BoardPhase::WaitingForBoard, 0,
         "Hold in the small recessed button while powering up the Veskor..."},
        // Stray bytes during that wait print the erase counter: still no board.
        {"noise while waiting", prompt + WaitProgress(4) + WaitProgress(8), BoardPhase::WaitingForBoard, 0,
         // as a terminal shows it: the counter over the start of the prompt
         "Erasing the FLASH...   8%" + std::string("Hold in the small recessed button while powering up the Veskor...").substr(25)},
        {"lost while waiting", prompt + WaitProgress(4) + "\n" + LostPort(3) + kPrompt, BoardPhase::WaitingForBoard,
         0, "Lost the serial port COM3"},
        {"erasing", kBanner + Announcement(1) + StageOneOutput() + ErasingOutput() + WaitProgress(4) + WaitProgress(47),
         BoardPhase::Erasing, 47, "Erasing the FLASH...  47%"},
        {"programming, killed", kBanner + Announcement(1) + StageOneOutput() + ErasingOutput() + Blanks(32) +
                                    Counter("Programming the FLASH...", {12, 25, 37}),
         BoardPhase::Programming, 37, "Programming the FLASH...( 37%)"},
        {"refused", kBanner + Announcement(1) + StageOneOutput() + ProgrammingOutputUntil({50}) +
                        FailureLines("/tmp/x/fw.bin") + kPrompt,
         BoardPhase::Programming, 50, "To do this, enter \"brivane erase\""},
    };
    for (const auto& item : kCases) {
        SCOPED_TRACE(item.what);
        BoardProgress progress = FeedInPieces(item.output, {});
        EXPECT_EQ(progress.phase, item.phase);
        EXPECT_EQ(progress.percent, item.percent);
        EXPECT_EQ(BoardMessage(progress), item.message);
        EXPECT_EQ(ReachedButtonPrompt(progress), item.phase != BoardPhase::Starting);
    }
}

TEST(StationReadsBrivane, RunawayLineStaysBounded) {
    BoardProgress progress;
    const std::string flood(1 << 20, 'x');
    FeedBoardOutput(&progress, flood.data(), flood.size());
    EXPECT_LE(progress.line.size(), 4096u);
    EXPECT_EQ(progress.phase, BoardPhase::Starting);
}

TEST(StationResults, EveryEndOfARun) {
    const int kSignal = 15;
    const struct {
        const char* what;
        ChildEnd end;
        bool once;
        BoardResult result;
        bool recorded;
        PortNext next;
    } kCases[] = {
        {"programmed", {true, 0, 0, true, true, false}, false, BoardResult::Ok, true, PortNext::StartAgain},
        {"refused by the device", {true, 1, 0, true, true, false}, false, BoardResult::DeviceRefused, true,
         PortNext::StartAgain},
        {"loader missing", {true, 3, 0, false, false, false}, false, BoardResult::FileProblem, true, PortNext::Done},
        {"port in use", {true, 4, 0, false, false, false}, false, BoardResult::PortUnavailable, false,
         PortNext::TryLater},
        {"port in use, once", {true, 4, 0, false, false, false}, true, BoardResult::PortUnavailable, true,
         PortNext::Done},
        {"port lost", {true, 4, 0, true, true, false}, false, BoardResult::PortLost, true, PortNext::StartAgain},
        {"stopped at the prompt", {false, 0, kSignal, true, false, true}, false, BoardResult::Stopped, false,
         PortNext::StartAgain},
        {"stopped before the prompt", {false, 0, kSignal, false, false, true}, true, BoardResult::Stopped, false,
         PortNext::Done},
        {"stopped while programming", {false, 0, kSignal, true, true, true}, false, BoardResult::Stopped, true,
         PortNext::StartAgain},
        {"finished although stopped", {true, 0, 0, true, true, true}, false, BoardResult::Ok, true,
         PortNext::StartAgain},
        {"killed by someone else", {false, 0, 9, true, true, false}, false, BoardResult::Crashed, true,
         PortNext::StartAgain},
        {"brivane not runnable", {true, 127, 0, false, false, false}, false, BoardResult::Crashed, true,
         PortNext::Done},
        {"command line refused", {true, 2, 0, false, false, false}, false, BoardResult::Crashed, true,
         PortNext::Done},
    };
    for (const auto& item : kCases) {
        SCOPED_TRACE(item.what);
        EXPECT_EQ(ClassifyEnd(item.end), item.result);
        EXPECT_EQ(EndIsRecorded(item.end, item.result, item.once), item.recorded);
        EXPECT_EQ(NextForPort(item.end, item.result, item.once, false), item.next);
        EXPECT_EQ(NextForPort(item.end, item.result, item.once, true), PortNext::Done) << "while stopping";
    }
    EXPECT_STREQ(ResultName(BoardResult::PortUnavailable), "port-unavailable");
    EXPECT_EQ(ResultText(BoardResult::Crashed, {false, 0, 9, true, true, false}), "FAILED: brivane ended by signal 9");
}

TEST(StationResults, TheTwoStageStop) {
    const struct {
        int level;
        bool boardStarted;
        bool endSent;
        bool killSent;
        StopAction action;
    } kCases[] = {
        {0, false, false, false, StopAction::None},  // no stop
        {1, false, false, false, StopAction::End},   // waiting for a board: ends
        {1, true, false, false, StopAction::None},   // a board in progress finishes
        {1, false, true, false, StopAction::None},   // already told
        {2, true, false, false, StopAction::End},    // the second stop ends it
        {2, true, true, false, StopAction::None},
        {3, true, true, false, StopAction::Kill},
        {3, false, false, false, StopAction::Kill},
        {3, true, true, true, StopAction::None},
    };
    for (const auto& item : kCases) {
        SCOPED_TRACE(testing::Message() << "level " << item.level << " board " << item.boardStarted << " end "
                                        << item.endSent << " kill " << item.killSent);
        EXPECT_EQ(StopActionFor(item.level, item.boardStarted, item.endSent, item.killSent), item.action);
    }
}

TEST(StationRecord, OneLineOfJsonWithEveryKey) {
    BoardRecord record;
    record.time = UtcTimeStamp(951782400);  // the leap day of 2000
    record.port = "COM2";
    record.device = "/dev/ttyUSB0";
    record.image = "fw \"new\"\\1.bin";
    record.imageBytes = 102400;
    record.imageSha256 = "ab";
    record.baud = 57600;
    record.hasExitStatus = true;
    record.exitStatus = 4;
    record.result = "port-lost";
    record.seconds = 12.04;
    record.message = "Lost the serial port COM2\t\x1b";
    EXPECT_EQ(FormatRecordLine(record),
              "{\"time\":\"2000-02-29T00:00:00Z\",\"port\":\"COM2\",\"device\":\"/dev/ttyUSB0\",\"adapter\":null,"
              "\"image\":\"fw \\\"new\\\"\\\\1.bin\",\"image_bytes\":102400,\"image_sha256\":\"ab\",\"baud\":57600,"
              "\"exit_status\":4,\"result\":\"port-lost\",\"seconds\":12.0,"
              "\"message\":\"Lost the serial port COM2\\t\\u001b\"}\n");

    record.adapter = "/dev/serial/by-id/usb-x-port0";
    record.hasExitStatus = false;
    const std::string line = FormatRecordLine(record);
    EXPECT_NE(line.find("\"adapter\":\"/dev/serial/by-id/usb-x-port0\""), std::string::npos);
    EXPECT_NE(line.find("\"exit_status\":null,"), std::string::npos);
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
}

TEST(StationRecord, TextThatIsNotUtf8StaysValidJson) {
    BoardRecord record;
    const struct {
        std::string given;
        std::string written;
    } kCases[] = {
        {"caf\xc3\xa9.bin", "\"caf\xc3\xa9.bin\""},                 // valid UTF-8 stays
        {"caf\xe9.bin", "\"caf\\ufffd.bin\""},                     // Latin-1
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},                         // overlong '/'
        {"\xe2\x82", "\"\\ufffd\\ufffd\""},                         // cut short
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},   // past U+10FFFF
    };
    for (const auto& item : kCases) {
        SCOPED_TRACE(item.written);
        record.image = item.given;
        EXPECT_NE(FormatRecordLine(record).find("\"image\":" + item.written + ","), std::string::npos)
            << FormatRecordLine(record);
    }
}

TEST(StationDisplay, FrameRedrawsInPlaceWithoutWrapping) {
    PortView view;
    view.port = "COM1";
    view.device = "/dev/serial/by-id/usb-FTDI_\x1b[2J_\xc3\xa9t\xc3\xa9";
    view.state = "programming 45%";
    view.secondsInState = 5;
    view.lastResult = "OK";
    const std::vector<std::string> lines = {PortLine(view), "OK 1   failed 0   session 0:05"};

    const std::string first = TerminalFrame(0, {}, lines, 40);
    EXPECT_EQ(first.find("\x1b[", 0) , first.find("\x1b[2K")) << "no cursor move on the first frame";
    const std::string again = TerminalFrame(2, {"stopping"}, lines, 40);
    EXPECT_EQ(again.rfind("\r\x1b[2A", 0), 0u) << "back over the two lines drawn";
    EXPECT_NE(again.find("stopping\n"), std::string::npos);

    size_t lineCount = 0;
    size_t start = 0;
    for (size_t end = again.find('\n'); end != std::string::npos; end = again.find('\n', start)) {
        std::string line = again.substr(start, end - start);
        start = end + 1;
        ++lineCount;
        // "\r\x1b[2K" opens each line; what follows must fit in 39 columns.
        std::string shown = line.substr(line.rfind("\x1b[2K") + 4);
        size_t columns = 0;
        for (char c : shown) {
            columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
            ASSERT_NE(c, '\x1b') << "a control character from a device name reached the terminal";
        }
        EXPECT_LE(columns, 39u) << line;
    }
    EXPECT_EQ(lineCount, 3u);
    EXPECT_EQ(again.substr(start), "\x1b[J") << "the cursor ends below the frame, which is cleared";

    EXPECT_EQ(ChangeLine("2024-01-01T00:00:00Z", "COM1 \x1b]0;x\x07: OK"), "2024-01-01T00:00:00Z COM1 ?]0;x?: OK\n");
}

}  // namespace
