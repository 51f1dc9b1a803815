// The key wait and terminal detection on Windows.
#include <windows.h>

#include "console.h"

namespace {

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

void WaitForKey() {
    // The console itself, not standard input, which may be redirected.
    HANDLE console =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
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
