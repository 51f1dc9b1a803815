// SPDX-License-Identifier: MIT
// The console on Windows: the standard output, the console's set-up for the run and
// the key wait.
#include <windows.h>

#include <cstdlib>

#include "console.h"

namespace {

// The console itself, not standard input, which may be redirected.
HANDLE OpenConsoleInput() {
    return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// Where messages go: standard output as it was when the run began, or nowhere.
HANDLE g_output = nullptr;

// What SetUpConsoleForRun changed, for RestoreConsole to put back.
UINT g_previousOutputCodePage = 0;  // 0: left as it was
HANDLE g_consoleInput = INVALID_HANDLE_VALUE;
DWORD g_previousInputMode = 0;
LONG g_restored = 0;

// The one place that puts the console back; every end of the run comes here once.
void RestoreConsole() {
    if (InterlockedExchange(&g_restored, 1) != 0) {
        return;
    }
    if (g_previousOutputCodePage != 0) {
        SetConsoleOutputCP(g_previousOutputCodePage);
    }
    if (g_consoleInput != INVALID_HANDLE_VALUE) {
        SetConsoleMode(g_consoleInput, g_previousInputMode);
    }
}

// Ctrl+C, Ctrl+Break, a closed window, a log-off: the console is put back, then the
// next handler (by default, the end of the process) takes the event.
BOOL WINAPI RestoreOnConsoleEvent(DWORD) {
    RestoreConsole();
    return FALSE;
}

// Modifier and lock keys alone do not count as a key press.
bool IsModifierKey(WORD virtualKey) {
    switch (virtualKey) {
        case VK_SHIFT:
        case VK_LSHIFT:
        case VK_RSHIFT:
        case VK_CONTROL:
        case VK_LCONTROL:
        case VK_RCONTROL:
        case VK_MENU:
        case VK_LMENU:
        case VK_RMENU:
        case VK_LWIN:
        case VK_RWIN:
        case VK_CAPITAL:
        case VK_NUMLOCK:
        case VK_SCROLL:
            return true;
        default:
            return false;
    }
}

// A key going down that gives a character, or any non-modifier key (function,
// cursor, editing keys give no character but still count).
bool EndsTheWait(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT) {
        return false;  // mouse, window, focus and menu events
    }
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (!key.bKeyDown) {
        return false;
    }
    return key.uChar.AsciiChar != 0 || !IsModifierKey(key.wVirtualKeyCode);
}

}  // namespace

bool PrepareStandardStreams() {
    // A process may start with no standard output at all, or with a handle value that
    // is not open in it (a parent that passed a handle it did not let us inherit). Such
    // a value could later name the port, so it is judged now, before anything is
    // opened, and never asked for again. The C runtime judges it the same way at its
    // start (its _ioinit: a handle whose GetFileType is unknown is not used).
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE &&
        GetFileType(output) != FILE_TYPE_UNKNOWN) {
        g_output = output;
    }
    return true;
}

// One WriteFile per message. The C runtime's fwrite on unbuffered output writes all
// but the last byte of an odd-length message, then the last byte alone: in its
// fwrite.c (_fwrite_nolock in the UCRT sources, _fwrite_lk in the older msvcrt ones)
// a count of at least the buffer's size goes to _write in whole multiples of it, and
// the rest through _flsbuf one byte at a time, and setvbuf.c gives an _IONBF stream a
// two-byte buffer. Standard output is in text mode as the C runtime opens it, be it a
// console, a file or a pipe: every "\n" goes out as "\r\n", as its _write did.
void WriteToOutput(const char* text, size_t length) {
    if (g_output == nullptr) {
        return;
    }
    char local[2048];
    char* buffer = local;
    size_t capacity = sizeof local;
    if (length > sizeof local / 2) {
        char* whole = static_cast<char*>(std::malloc(2 * length));
        if (whole != nullptr) {
            buffer = whole;
            capacity = 2 * length;
        }  // else the message goes out in pieces
    }
    size_t at = 0;
    while (at < length) {
        size_t filled = 0;
        while (at < length && filled + 2 <= capacity) {
            if (text[at] == '\n') {
                buffer[filled++] = '\r';
            }
            buffer[filled++] = text[at++];
        }
        // The count written is not used to write again, as the C runtime's _write does
        // not: a console in code page 65001 on Windows 7 reports characters, not bytes.
        DWORD written = 0;
        WriteFile(g_output, buffer, static_cast<DWORD>(filled), &written, nullptr);
    }
    if (buffer != local) {
        std::free(buffer);
    }
}

void SetUpConsoleForRun() {
    // The arguments, and so the names in the messages, are UTF-8 where Windows honours
    // the manifest's code page (Windows 10 1903 and later); older Windows give them in
    // the ANSI code page, and the console's output code page is then left alone.
    if (GetACP() == CP_UTF8) {
        const UINT previous = GetConsoleOutputCP();
        if (previous != 0 && previous != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
            g_previousOutputCodePage = previous;
        }
    }
    // A mouse selection in QuickEdit mode blocks every console write until it ends.
    // The console reports QuickEdit only in a mode that holds ENABLE_EXTENDED_FLAGS,
    // and takes it from a mode only when that flag is set (Microsoft's open-source
    // console host, src/host/getset.cpp: ApiRoutines::GetConsoleInputModeImpl adds
    // the private flags only while CONSOLE_USE_PRIVATE_FLAGS is set, and
    // SetConsoleInputModeImpl updates QuickEdit only from a mode with a private flag).
    // A mode found without it may hide QuickEdit switched on, and putting that mode
    // back could not switch it on again: QuickEdit is then left as it is.
    HANDLE input = OpenConsoleInput();
    DWORD mode = 0;
    if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode) &&
        (mode & ENABLE_EXTENDED_FLAGS) != 0 && (mode & ENABLE_QUICK_EDIT_MODE) != 0 &&
        SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE))) {
        g_consoleInput = input;
        g_previousInputMode = mode;
    } else if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
    if (g_previousOutputCodePage != 0 || g_consoleInput != INVALID_HANDLE_VALUE) {
        std::atexit(RestoreConsole);
        SetConsoleCtrlHandler(RestoreOnConsoleEvent, TRUE);
    }
}

void WaitForKey() {
    HANDLE console = OpenConsoleInput();
    if (console == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD previousMode = 0;
    if (!GetConsoleMode(console, &previousMode)) {
        CloseHandle(console);
        return;
    }
    // Without processed input Ctrl+C arrives as an ordinary key instead of ending
    // the process. The input buffer is not flushed: a key typed earlier ends the
    // wait at once.
    const DWORD keyMode = previousMode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT |
                                                             ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
    const bool modeChanged = SetConsoleMode(console, keyMode) != FALSE;

    for (;;) {
        INPUT_RECORD record;
        DWORD eventsRead = 0;
        if (!ReadConsoleInputA(console, &record, 1, &eventsRead) || eventsRead == 0) {
            break;
        }
        if (EndsTheWait(record)) {
            break;
        }
    }

    if (modeChanged) {
        SetConsoleMode(console, previousMode);
    }
    CloseHandle(console);
}
