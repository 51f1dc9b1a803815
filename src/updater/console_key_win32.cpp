// SPDX-License-Identifier: MIT
// The console on Windows: its set-up for the run and the key wait.
#include <windows.h>

#include <cstdlib>

#include "console.h"

namespace {

// The console itself, not standard input, which may be redirected.
HANDLE OpenConsoleInput() {
    return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

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
    HANDLE input = OpenConsoleInput();
    DWORD mode = 0;
    if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode) &&
        SetConsoleMode(
            input, (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE))) {
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
