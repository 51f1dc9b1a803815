// SPDX-License-Identifier: MIT
#include "board_result.h"

#include <cstdio>
#include <ctime>

BoardResult ClassifyEnd(const ChildEnd& end) {
    if (!end.exited) {
        return end.stoppedByStation ? BoardResult::Stopped : BoardResult::Crashed;
    }
    switch (end.exitStatus) {
        case 0:
            return BoardResult::Ok;
        case 1:
            return BoardResult::DeviceRefused;
        case 3:
            return BoardResult::FileProblem;
        case 4:
            return end.reachedPrompt ? BoardResult::PortLost : BoardResult::PortUnavailable;
        default:
            return BoardResult::Crashed;
    }
}

namespace {

// Per result, in the order of BoardResult: its name in the record and its words on
// the display. A crash is told in more words, from how the run ended.
const struct {
    const char* name;
    const char* text;
} kResultWords[] = {
    {"ok", "OK"},
    {"device-refused", "FAILED: device refused the image"},
    {"file-problem", "FAILED: file problem"},
    {"port-unavailable", "FAILED: port unavailable"},
    {"port-lost", "FAILED: port lost"},
    {"stopped", "FAILED: stopped"},
    {"crashed", nullptr},
};
static_assert(sizeof kResultWords / sizeof kResultWords[0] == static_cast<size_t>(BoardResult::Crashed) + 1,
              "words for every result");

}  // namespace

const char* ResultName(BoardResult result) {
    return kResultWords[static_cast<size_t>(result)].name;
}

std::string ResultText(BoardResult result, const ChildEnd& end) {
    if (const char* text = kResultWords[static_cast<size_t>(result)].text) {
        return text;
    }
    if (end.exited) {
        return "FAILED: brivane ended with status " + std::to_string(end.exitStatus);
    }
    return "FAILED: brivane ended by signal " + std::to_string(end.signalNumber);
}

bool EndIsRecorded(const ChildEnd& end, BoardResult result, bool once) {
    if (result == BoardResult::Stopped && !end.boardStarted) {
        return false;
    }
    if (result == BoardResult::PortUnavailable) {
        return once;
    }
    return true;
}

PortNext NextForPort(const ChildEnd& end, BoardResult result, bool once, bool stopping) {
    if (once || stopping) {
        return PortNext::Done;
    }
    if (result == BoardResult::PortUnavailable) {
        return PortNext::TryLater;
    }
    return end.reachedPrompt ? PortNext::StartAgain : PortNext::Done;
}

StopAction StopActionFor(int level, bool boardStarted, bool endSent, bool killSent) {
    if (level >= 3 && !killSent) {
        return StopAction::Kill;
    }
    if (!endSent && (level >= 2 || (level == 1 && !boardStarted))) {
        return StopAction::End;
    }
    return StopAction::None;
}

namespace {

// Length of the UTF-8 sequence starting at `text[i]`, or 0 when it is not a valid one
// (overlong forms, surrogates and values past U+10FFFF included).
size_t ValidSequenceLength(const std::string& text, size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length;
    unsigned lowest;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    unsigned value = lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

void AppendJsonString(std::string* out, const std::string& text) {
    *out += '"';
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = ValidSequenceLength(text, i);
        if (length == 0) {
            *out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c == '\t') {
            *out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            *out += escaped;
        } else {
            out->append(text, i, length);
        }
        i += length;
    }
    *out += '"';
}

void AppendKey(std::string* out, const char* key) {
    if (out->size() > 1) {
        *out += ',';
    }
    *out += '"';
    *out += key;
    *out += "\":";
}

}  // namespace

std::string FormatRecordLine(const BoardRecord& record) {
    std::string line = "{";
    AppendKey(&line, "time");
    AppendJsonString(&line, record.time);
    AppendKey(&line, "port");
    AppendJsonString(&line, record.port);
    AppendKey(&line, "device");
    AppendJsonString(&line, record.device);
    AppendKey(&line, "adapter");
    if (record.adapter.empty()) {
        line += "null";
    } else {
        AppendJsonString(&line, record.adapter);
    }
    AppendKey(&line, "image");
    AppendJsonString(&line, record.image);
    AppendKey(&line, "image_bytes");
    line += std::to_string(record.imageBytes);
    AppendKey(&line, "image_sha256");
    AppendJsonString(&line, record.imageSha256);
    AppendKey(&line, "baud");
    line += std::to_string(record.baud);
    AppendKey(&line, "exit_status");
    line += record.hasExitStatus ? std::to_string(record.exitStatus) : "null";
    AppendKey(&line, "result");
    AppendJsonString(&line, record.result);
    AppendKey(&line, "seconds");
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", record.seconds < 0 ? 0.0 : record.seconds);
    line += seconds;
    AppendKey(&line, "message");
    AppendJsonString(&line, record.message);
    line += "}\n";
    return line;
}

std::string UtcTimeStamp(int64_t secondsSinceEpoch) {
    std::time_t when = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}
