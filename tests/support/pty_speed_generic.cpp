#include <termios.h>

#include "pty_pair.h"

namespace {

// As in the serial code: where speed_t is not the rate itself, only the rates
// with a B-constant exist.
constexpr bool kSpeedIsTheRate = B9600 == 9600 && B38400 == 38400 && B115200 == 115200;

}  // namespace

long LineSpeedOf(int fd) {
    struct termios line;
    if (tcgetattr(fd, &line) != 0) {
        return -1;
    }
    speed_t speed = cfgetospeed(&line);
    if (kSpeedIsTheRate) {
        return static_cast<long>(speed);
    }
    static const struct {
        speed_t constant;
        long rate;
    } kRates[] = {{B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    for (const auto& entry : kRates) {
        if (entry.constant == speed) {
            return entry.rate;
        }
    }
    return -1;
}

bool AnyRateCanBeSet() {
    return kSpeedIsTheRate;
}
