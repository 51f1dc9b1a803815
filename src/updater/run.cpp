// SPDX-License-Identifier: MIT
#include "run.h"

#include <cstdio>

#include "boot_image.h"
#include "cli.h"
#include "console.h"
#include "handoff.h"
#include "image.h"
#include "programming.h"
#include "serial.h"

namespace {

int EndWithPrompt(int status) {
    PromptForKey();
    return status;
}

int EndCannotOpenFile(const char* path) {
    ConsolePrintf("Could not open file '%s'.\n", path);
    return EndWithPrompt(kExitFileProblem);
}

int EndPortProblem(PortStatus problem, long portNumber) {
    switch (problem) {
        case PortStatus::Ready:
            break;
        case PortStatus::CannotOpen:
            ConsolePrintf("Could not open serial port COM%1ld\n", portNumber);
            break;
        case PortStatus::CannotInitialize:
            ConsolePrintf("Could not initialize serial port COM%1ld\n", portNumber);
            break;
        case PortStatus::Lost:
            ConsolePrintf("Lost the serial port COM%1ld\n", portNumber);
            break;
    }
    return EndWithPrompt(kExitPortProblem);
}

}  // namespace

int RunUpdater(int argc, const char* const* argv) {
    SetUpConsoleForRun();
    ConsolePrintf("Brivane Version 2.0\n");

    RunSettings settings{};
    switch (ReadCommandLine(argc, argv, &settings)) {
        case CommandLineVerdict::Accepted:
            break;
        case CommandLineVerdict::Usage:
            PrintUsage();
            return EndWithPrompt(kExitCommandLine);
        case CommandLineVerdict::BadPort:
            ConsolePrintf("Invalid comm port. valid range 1 - 8\n");
            return EndWithPrompt(kExitCommandLine);
        case CommandLineVerdict::BadBaudRate:
            ConsolePrintf("Invalid baud rate.\n");
            return EndWithPrompt(kExitCommandLine);
    }
    const bool programming = settings.mode == RunMode::Program;
    eraseMode = settings.mode == RunMode::Erase;

    int sizeClass = 1;
    FileIdentity measuredImage{};
    if (programming) {
        std::FILE* measured = OpenMeasured(settings.imagePath, &measuredImage);
        if (measured == nullptr) {
            return EndCannotOpenFile(settings.imagePath);
        }
        sizeClass = SizeClassFor(RoundUpToBlocks(measuredImage.length));
        std::fclose(measured);
        if (sizeClass == kSizeClassTooLarge) {
            ConsolePrintf("\n\n Error: Image is greater than 2 MBytes.\n");
            return kExitFileProblem;  // no prompt: the run ends at once
        }
    }

    const char* loaderFile = LoaderFileFor(settings.mode, sizeClass);
    if (const char* announcement = AnnouncementFor(settings.mode, sizeClass)) {
        ConsolePrintf("%s", announcement);
    }
    BootImage bootImage;
    switch (LoadBootImage(loaderFile, &bootImage)) {
        case LoaderStatus::Loaded:
            break;
        case LoaderStatus::CannotOpen:
            return EndCannotOpenFile(loaderFile);
        case LoaderStatus::Invalid:
            ConsolePrintf("The file %s is not a valid Bootrom file.\n", loaderFile);
            return EndWithPrompt(kExitFileProblem);
    }

    // The device is told the measured length and sized for it: a file replaced or
    // changed in between is refused before the port is touched.
    std::FILE* image = nullptr;
    const int64_t imageLength = measuredImage.length;
    if (programming) {
        FileIdentity reopened{};
        image = OpenMeasured(settings.imagePath, &reopened);
        if (image == nullptr || !SameFileAndLength(measuredImage, reopened)) {
            return EndCannotOpenFile(settings.imagePath);  // an open image is left to exit
        }
    }

    SerialPort port{};
    PortStatus portStatus = PreparePort(&port, settings.portNumber);
    if (portStatus == PortStatus::Ready) {
        portStatus = HandOffLoader(&port, bootImage, settings.baudRate);
    }
    if (portStatus != PortStatus::Ready) {
        return EndPortProblem(portStatus, settings.portNumber);
    }

    if (settings.mode == RunMode::Test) {
        ConsolePrintf("\n\n Successfully communicating with Veskor \n\n");
        Close(&port);
        return EndWithPrompt(kExitDone);
    }
    // A device that is merely slow keeps the run waiting; a port that is gone ends it.
    if (eraseMode) {
        if (!SynchroniseAndErase(&port, kFullEraseLength)) {
            return EndPortProblem(PortStatus::Lost, settings.portNumber);
        }
        ConsolePrintf("\n\nEntire Flash has been erased\n");
        return kExitDone;  // no prompt after a full erase
    }

    const int64_t roundedSize = RoundUpToBlocks(imageLength);
    if (!SynchroniseAndErase(&port, static_cast<uint32_t>(roundedSize))) {
        return EndPortProblem(PortStatus::Lost, settings.portNumber);
    }
    const bool succeeded = ProgramBlocks(&port, image, imageLength, roundedSize);
    std::fclose(image);
    Close(&port);
    PrintProgrammingOutcome(settings.imagePath, succeeded);
    return EndWithPrompt(succeeded ? kExitDone : kExitDeviceRefused);
}
