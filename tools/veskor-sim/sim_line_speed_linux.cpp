// Kept apart from every file that includes <termios.h>: the kernel's termios2
// definitions clash with the C library's.
#include <asm/termbits.h>
#include <sys/ioctl.h>

// Declared in sim_pty.cpp. c_ospeed also holds rates set through BOTHER
// (28800 for one), which cfgetospeed cannot express.
long ReadSlaveBaudExactly(int master) {
    struct termios2 settings;
    if (ioctl(master, TCGETS2, &settings) != 0) {
        return 0;
    }
    return static_cast<long>(settings.c_ospeed);
}
