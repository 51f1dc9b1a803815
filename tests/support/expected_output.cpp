// SPDX-License-Identifier: MIT
#include "expected_output.h"

#include <cstdio>
#include <sstream>

std::string Announcement(int megabytes) {
    return "\nProgramming " + std::to_string(megabytes) + " MB Flash code\n";
}

std::string CouldNotOpenFile(const std::string& name) {
    return "Could not open file '" + name + "'.\n";
}

std::string CouldNotOpenPort(int port) {
    return "Could not open serial port COM" + std::to_string(port) + "\n";
}

std::string LostPort(int port) {
    return "Lost the serial port COM" + std::to_string(port) + "\n";
}

std::string Blanks(int count) {
    return "\r" + std::string(static_cast<size_t>(count), ' ') + "\r";
}

std::string Counter(const std::string& label, const std::vector<int>& percents) {
    std::string text = label + "(  0%)";
    for (int percent : percents) {
        char update[16];
        std::snprintf(update, sizeof update, "\b\b\b\b\b%3d%%)", percent);
        text += update;
    }
    return text;
}

std::string StageOneOutput(const std::string& beforeDownload) {
    // The 2 KiB boot image goes out in 128-byte pieces.
    std::vector<int> percents;
    for (int offset = 0; offset < 2048; offset += 128) percents.push_back((offset + 128) * 100 / 2048);
    return "Hold in the small recessed button while powering up the Veskor..." + beforeDownload +
           Blanks(70) + Blanks(34) + Counter("Downloading boot code...", percents) + Blanks(30);
}

std::string WaitProgress(int percent) {
    char step[32];
    std::snprintf(step, sizeof step, "\rErasing the FLASH... %3d%%", percent);
    return step;
}

std::string ErasingOutput() {
    return "Erasing the FLASH..." + Blanks(30);
}

std::string ProgrammingOutput(int64_t roundedSize) {
    std::vector<int> percents;
    for (int64_t offset = 0; offset < roundedSize; offset += 1024) {
        percents.push_back(static_cast<int>((offset + 1024) * 100 / roundedSize));
    }
    return ProgrammingOutputUntil(percents);
}

std::string ProgrammingOutputUntil(const std::vector<int>& percents) {
    return ErasingOutput() + Blanks(32) + Counter("Programming the FLASH...", percents) + Blanks(30);
}

std::string ProgrammedLine(const std::string& image) {
    return "\nSuccessfully programmed '" + image + "'\n";
}

std::string FailureLines(const std::string& image) {
    return "Failed to program '" + image + "'\n" +
           "You might want to completely erase the Flash\n" +
           " and then try programming again.\n" +
           " To do this, enter \"brivane erase\"\n";
}

std::string PatternImage(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::map<std::string, std::string> SimulatorSummary(const std::string& err) {
    const std::string lead = "veskor-sim: ";
    std::map<std::string, std::string> values;
    size_t start = err.rfind(lead + "boot=");
    if (start == std::string::npos) return values;
    std::istringstream fields(err.substr(start + lead.size()));
    std::string field;
    while (fields >> field) {
        size_t equals = field.find('=');
        if (equals != std::string::npos) values[field.substr(0, equals)] = field.substr(equals + 1);
    }
    return values;
}
