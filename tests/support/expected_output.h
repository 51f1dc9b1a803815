// SPDX-License-Identifier: MIT
// What brivane prints, byte for byte, and what veskor-sim reports, as the end-to-end
// tests expect them. The Wine script gets the same bytes from the expected-output
// tool, so that a change of wording is made here once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

inline const std::string kBanner = "Brivane Version 2.0\n";
inline const std::string kPrompt = "Press any key to continue\n";
inline const std::string kUsage =
    "Usage: Brivane <filename or 'testcomm' or 'erase'> {<comm port> {<baud rate> }}\n"
    "   Default comm port is 1, default baud rate is 115200\n"
    "   Using 'testcomm' instead of a filename will just test that communications\n"
    "\t\twith the Veskor are working but will not download a file.\n"
    "   Using 'erase' instead of a filename will erase the entire flash memory.\n";
inline const std::string kInvalidPort = "Invalid comm port. valid range 1 - 8\n";
inline const std::string kInvalidBaud = "Invalid baud rate.\n";
// Comes after two empty lines.
inline const std::string kTooLarge = " Error: Image is greater than 2 MBytes.\n";
// The end of a run in test mode.
inline const std::string kCommunicating = "\n\n Successfully communicating with Veskor \n\n";
// The end of a run in erase mode, after the erase wait.
inline const std::string kErased = "\n\nEntire Flash has been erased\n";

// "\nProgramming 1 MB Flash code\n": the loader chosen for the image's size.
std::string Announcement(int megabytes);
std::string CouldNotOpenFile(const std::string& name);
std::string CouldNotOpenPort(int port);
std::string LostPort(int port);

// "\r", `count` blanks, "\r": a line cleared for the next text.
std::string Blanks(int count);

// A percentage counter after `label`: "(  0%)", then each update in place.
std::string Counter(const std::string& label, const std::vector<int>& percents);

// Everything a run prints from the button prompt to the change of speed;
// `beforeDownload` is what the wait for the boot ROM printed.
std::string StageOneOutput(const std::string& beforeDownload = "");

// A step of the progress shown by every wait for the device, while it has not
// answered; worded as the erase's whatever the wait.
std::string WaitProgress(int percent);

// The erase wait when the erase is done at its first look.
std::string ErasingOutput();

// The erase wait and the transfer of an image of `roundedSize` bytes (whole blocks).
std::string ProgrammingOutput(int64_t roundedSize);

// The same, for a transfer that stops after the counter showed `percents`.
std::string ProgrammingOutputUntil(const std::vector<int>& percents);

std::string ProgrammedLine(const std::string& image);
std::string FailureLines(const std::string& image);

// Reproducible image bytes for a seed.
std::string PatternImage(size_t size, unsigned seed);

// The simulator's closing line "veskor-sim: key=value ..." in its stderr, as a map;
// empty when there is none.
std::map<std::string, std::string> SimulatorSummary(const std::string& err);
