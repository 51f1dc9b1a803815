// SPDX-License-Identifier: MIT
#include "sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

// The flash holds 2048 blocks of 1024 bytes; no block number can exceed that.
const long kMaxBlockNumber = 2048;
// A limit on byte counts keeps a typo from queueing gigabytes of output.
const long kMaxByteCount = 1000000;

bool ParseWholeNumber(const std::string& text, long minimum, long maximum, long* value) {
    if (text.empty() || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed < minimum || parsed > maximum) {
        return false;
    }
    *value = parsed;
    return true;
}

bool ParseSeconds(const std::string& text, double* value) {
    if (text.empty() || text[0] == ' ') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    double parsed = std::strtod(text.c_str(), &end);
    // A week is far beyond any use and keeps microsecond arithmetic in range.
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(parsed) || parsed < 0.0 ||
        parsed > 7 * 24 * 3600.0) {
        return false;
    }
    *value = parsed;
    return true;
}

// "K" or "K:N" for --refuse-block.
bool ParseRefusal(const std::string& text, long* block, long* count) {
    std::string::size_type colon = text.find(':');
    if (colon == std::string::npos) {
        *count = 1;
        return ParseWholeNumber(text, 1, kMaxBlockNumber, block);
    }
    return ParseWholeNumber(text.substr(0, colon), 1, kMaxBlockNumber, block) &&
           ParseWholeNumber(text.substr(colon + 1), 1, kMaxByteCount, count);
}

bool ParseHangupMoment(const std::string& text, HangupMoment* moment) {
    const struct {
        const char* name;
        HangupMoment moment;
    } kMoments[] = {{"power-up", HangupMoment::PowerUp}, {"sync", HangupMoment::Sync}, {"erase", HangupMoment::Erase}};
    for (const auto& entry : kMoments) {
        if (text == entry.name) {
            *moment = entry.moment;
            return true;
        }
    }
    return false;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, SimOptions* options, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasInlineValue = false;
        std::string::size_type equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasInlineValue = true;
        }

        if (name == "--help" || name == "-h") {
            options->showHelp = true;
            continue;
        }
        if (name == "--verdict-fail" || name == "--pace") {
            if (hasInlineValue) {
                *error = name + " takes no value";
                return false;
            }
            (name == "--pace" ? options->pace : options->verdictFail) = true;
            continue;
        }

        if (!hasInlineValue) {
            if (i + 1 >= args.size()) {
                *error = name.compare(0, 2, "--") == 0 ? name + " needs a value" : "unknown argument '" + name + "'";
                return false;
            }
            value = args[++i];
        }

        bool valid = true;
        long number = 0;
        if (name == "--port") {
            valid = ParseWholeNumber(value, 1, 8, &number);
            options->portNumber = static_cast<int>(number);
        } else if (name == "--flash") {
            valid = !value.empty();
            options->flashPath = value;
        } else if (name == "--initial") {
            valid = !value.empty();
            options->initialPath = value;
        } else if (name == "--erase-seconds") {
            valid = ParseSeconds(value, &options->eraseSeconds);
        } else if (name == "--noise") {
            valid = ParseWholeNumber(value, 0, kMaxByteCount, &options->noiseBytes);
        } else if (name == "--refuse-block") {
            valid = ParseRefusal(value, &options->refuseBlock, &options->refuseCount);
        } else if (name == "--silent-after-block") {
            valid = ParseWholeNumber(value, 1, kMaxBlockNumber, &options->silentFromBlock);
        } else if (name == "--garbage-before-verdict") {
            valid = ParseWholeNumber(value, 0, kMaxByteCount, &options->garbageBeforeVerdict);
        } else if (name == "--flip-bit-block") {
            valid = ParseWholeNumber(value, 1, kMaxBlockNumber, &options->flipBitBlock);
        } else if (name == "--hangup-after-block") {
            valid = ParseWholeNumber(value, 1, kMaxBlockNumber, &options->hangupAfterBlock);
        } else if (name == "--hangup-at") {
            valid = ParseHangupMoment(value, &options->hangupAt);
        } else if (name == "--timeout") {
            valid = ParseSeconds(value, &options->timeoutSeconds) && options->timeoutSeconds > 0.0;
        } else if (name == "--line") {
            valid = !value.empty();
            options->linePath = value;
        } else if (name == "--power-up-after") {
            valid = ParseSeconds(value, &options->powerUpAfterSeconds);
        } else {
            *error = "unknown option '" + name + "'";
            return false;
        }
        if (!valid) {
            *error = "invalid value '" + value + "' for " + name;
            return false;
        }
    }
    if (options->powerUpAfterSeconds >= 0.0 && options->linePath.empty()) {
        *error = "--power-up-after needs --line";
        return false;
    }
    return true;
}

const char* HelpText() {
    return "Usage: veskor-sim [OPTION]...\n"
           "Simulates a Veskor device on a pseudo-terminal so that the updater can be\n"
           "tried without hardware. The simulator creates the link COM<N> in the current\n"
           "directory; run the updater from the same directory with port N. Do not power\n"
           "anything up: the simulated device starts its boot ROM by itself once the\n"
           "updater has opened and prepared the port. When the updater closes the port the\n"
           "simulator writes the flash (if asked), prints a summary and exits.\n"
           "\n"
           "Options:\n"
           "  --port N                  link name COM<N>, N = 1..8 (default 1); an existing\n"
           "                            symbolic link of that name is replaced\n"
           "  --flash FILE              write the 2 MiB flash to FILE at the end\n"
           "  --initial FILE            start with FILE's content in the flash instead of\n"
           "                            all 0xFF (shorter files are padded with 0xFF)\n"
           "  --erase-seconds S         time the erase takes, fractions allowed (default 0)\n"
           "  --noise N                 send N noise bytes ('x') before the ready sign\n"
           "  --refuse-block K[:N]      refuse block K (the first block is 1) N times\n"
           "                            (default once) although its checksum is good\n"
           "  --silent-after-block K    never answer block K or anything after it\n"
           "  --verdict-fail            report a failed programming although every block\n"
           "                            arrived intact\n"
           "  --garbage-before-verdict N\n"
           "                            send N stray bytes ('g') before the verdict\n"
           "  --flip-bit-block K        flip one bit of block K on its first sending, as line\n"
           "                            noise would; the device refuses it, the resend is clean\n"
           "  --hangup-after-block K    drop the line after accepting block K\n"
           "  --hangup-at MOMENT        drop the line instead of answering, at one of the\n"
           "                            updater's waits without end: power-up (before the\n"
           "                            ready sign), sync (the first '-'), erase (the erase\n"
           "                            command's length)\n"
           "  --pace                    run at the speed of the wire (10 bits a byte at the\n"
           "                            current rate): every answer waits until the bytes it\n"
           "                            answers would have crossed the wire, and leaves at the\n"
           "                            wire's speed. For realistic timing. Below 57600 baud a\n"
           "                            block takes longer than the updater's 256 ms reply\n"
           "                            wait, so it sends fillers, which the device drops\n"
           "  --timeout S               give up after S seconds (default: wait without\n"
           "                            end, as the updater does; Ctrl+C ends the wait)\n"
           "  --line PATH               play the device on the existing terminal PATH (a\n"
           "                            serial port wired to the updater's port through a\n"
           "                            null-modem cable, or a virtual machine's UART)\n"
           "                            instead of a pseudo-terminal; no COM<N> link. The\n"
           "                            line starts at 9600 baud and follows the speed\n"
           "                            command. The device powers up on SIGUSR1, on Enter\n"
           "                            on this terminal, or with --power-up-after; the\n"
           "                            session ends 3 s after the line fell quiet\n"
           "  --power-up-after S        with --line: power up S seconds after the start\n"
           "  --help                    show this help\n"
           "\n"
           "Values may also be given as --option=VALUE.\n"
           "\n"
           "Summary: the last line on standard error has the form\n"
           "  veskor-sim: boot=ok|implausible|none speed_code=C|none line_baud=RATE\n"
           "  line_format=8N1|none|... syncs=N erase_length=LEN|none erase_bytes=hh,hh,hh,hh|none blocks=N\n"
           "  refusals=N bad_checksums=N fillers=N verdict=*|^|none\n"
           "  end=closed|hangup|timeout|signal|error\n"
           "(all on one line). refusals counts every refusal sent, bad_checksums the\n"
           "blocks that arrived damaged, fillers the filler bytes the updater sent while\n"
           "waiting for an answer. line_baud is the rate the updater's port was set to\n"
           "after the speed command (0 when unknown), line_format its framing and line\n"
           "discipline then: 8N1 when raw with 8 data bits, no parity, one stop bit and no\n"
           "flow control, else what differs (7E1, 8N1+rtscts, 8N1+xon, 8N1+cooked).\n"
           "\n"
           "Exit status: 0 when the updater closed the port or the simulator hung up on\n"
           "purpose, 1 on time-out, signal or error, 2 on a usage or set-up error.\n";
}
