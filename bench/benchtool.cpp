// SPDX-License-Identifier: MIT
// benchtool: the small measuring helpers bench/run.sh needs. Linux only.
//
//   benchtool run REPORT -- COMMAND [ARG]...
//       Runs COMMAND, waits for it and writes one line to REPORT:
//       start_us end_us wall_us user_us sys_us maxrss_kib exit_status
//       self_user_us self_sys_us self_cpu_us
//       (times on CLOCK_MONOTONIC; resources of COMMAND and the children it waited
//       for, from wait4; then COMMAND's own CPU time without its children, read from
//       /proc before it is reaped: user and system time in clock ticks, and the
//       scheduler's nanosecond count, -1 where the system has none).
//       Exits with COMMAND's status.
//   benchtool stamp
//       Copies standard input to standard output line by line, each line prefixed
//       with the CLOCK_MONOTONIC time in microseconds at which it was read.
//   benchtool pty-echo COUNT SIZE
//       Two processes on one pseudo-terminal: the child holds the master side and
//       answers every SIZE bytes it reads with one byte; the parent, on the raw
//       slave side, writes SIZE bytes and waits for the answer, COUNT times.
//       Prints the round trip in microseconds: median, mean, 99th percentile, min.
//   benchtool oversleep COUNT MICROS
//       How late this machine wakes a process from a wait of MICROS microseconds:
//       COUNT waits each with ppoll (nanosecond time-out) under the default timer
//       slack, with ppoll under a timer slack of 1 ns (as veskor-sim waits), and with
//       poll (the time-out rounded up to whole milliseconds, as a millisecond poll
//       loop must). Prints the delay past the asked time in microseconds: median,
//       mean, max.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

long long NowUs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

long long TimevalUs(const struct timeval& value) {
    return static_cast<long long>(value.tv_sec) * 1000000 + value.tv_usec;
}

// The process's own user and system time (microseconds, from clock ticks) and its
// scheduler run time (microseconds), children excluded.
void OwnCpuTime(pid_t pid, long long* user, long long* sys, long long* cpu) {
    const std::string base = "/proc/" + std::to_string(pid);
    if (std::FILE* stat = std::fopen((base + "/stat").c_str(), "r")) {
        char text[4096];
        size_t got = std::fread(text, 1, sizeof text - 1, stat);
        std::fclose(stat);
        text[got] = '\0';
        // Fields after the name in parentheses: state is the 3rd, utime the 14th.
        const char* after = std::strrchr(text, ')');
        unsigned long long ticks[2];
        if (after != nullptr &&
            std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ticks[0], &ticks[1]) == 2) {
            const long perSecond = sysconf(_SC_CLK_TCK);
            *user = static_cast<long long>(ticks[0]) * 1000000 / perSecond;
            *sys = static_cast<long long>(ticks[1]) * 1000000 / perSecond;
        }
    }
    if (std::FILE* schedstat = std::fopen((base + "/schedstat").c_str(), "r")) {
        unsigned long long ns = 0;
        if (std::fscanf(schedstat, "%llu", &ns) == 1) {
            *cpu = static_cast<long long>(ns / 1000);
        }
        std::fclose(schedstat);
    }
}

int Run(int argc, char** argv) {
    if (argc < 5 || std::strcmp(argv[3], "--") != 0) {
        std::fprintf(stderr, "usage: benchtool run REPORT -- COMMAND [ARG]...\n");
        return 2;
    }
    const char* reportPath = argv[2];
    long long start = NowUs();
    pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[4], argv + 4);
        std::perror(argv[4]);
        _exit(127);
    }
    // Ended but not yet reaped: /proc still shows its own CPU time.
    siginfo_t ended;
    while (waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    long long selfUser = -1, selfSys = -1, selfCpu = -1;
    OwnCpuTime(child, &selfUser, &selfSys, &selfCpu);
    int status = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("wait4");
            return 2;
        }
    }
    long long end = NowUs();
    int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::FILE* report = std::fopen(reportPath, "w");
    if (report == nullptr) {
        std::perror(reportPath);
        return 2;
    }
    std::fprintf(report, "%lld %lld %lld %lld %lld %ld %d %lld %lld %lld\n", start, end, end - start,
                 TimevalUs(usage.ru_utime), TimevalUs(usage.ru_stime), usage.ru_maxrss, exitStatus, selfUser,
                 selfSys, selfCpu);
    std::fclose(report);
    return exitStatus;
}

int Stamp() {
    char line[4096];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::printf("%lld %s", NowUs(), line);
        std::fflush(stdout);
    }
    return 0;
}

bool ReadFully(int fd, unsigned char* buffer, size_t count) {
    size_t got = 0;
    while (got < count) {
        ssize_t now = read(fd, buffer + got, count - got);
        if (now < 0 && errno == EINTR) {
            continue;
        }
        if (now <= 0) {
            return false;
        }
        got += static_cast<size_t>(now);
    }
    return true;
}

bool WriteFully(int fd, const unsigned char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t now = write(fd, buffer + done, count - done);
        if (now < 0 && errno == EINTR) {
            continue;
        }
        if (now <= 0) {
            return false;
        }
        done += static_cast<size_t>(now);
    }
    return true;
}

int PtyEcho(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: benchtool pty-echo COUNT SIZE\n");
        return 2;
    }
    const int count = std::atoi(argv[2]);
    const int size = std::atoi(argv[3]);
    if (count < 1 || size < 1 || size > 4000) {
        std::fprintf(stderr, "benchtool: COUNT must be positive and SIZE 1..4000\n");
        return 2;
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return 2;
    }
    const char* slaveName = ptsname(master);
    int slave = open(slaveName, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror(slaveName);
        return 2;
    }
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &raw);
    // The master side is raw too, or its echo and line editing would get in the way.
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);

    pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        close(slave);
        std::vector<unsigned char> buffer(static_cast<size_t>(size));
        const unsigned char answer = '#';
        for (int i = 0; i < count; ++i) {
            if (!ReadFully(master, buffer.data(), buffer.size()) || !WriteFully(master, &answer, 1)) {
                _exit(1);
            }
        }
        _exit(0);
    }
    std::vector<unsigned char> block(static_cast<size_t>(size), 0x55);
    std::vector<long long> trips;
    trips.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        unsigned char answer = 0;
        long long start = NowUs();
        if (!WriteFully(slave, block.data(), block.size()) || !ReadFully(slave, &answer, 1)) {
            std::fprintf(stderr, "benchtool: the echo stopped after %d round trips\n", i);
            kill(child, SIGTERM);
            return 1;
        }
        trips.push_back(NowUs() - start);
    }
    int status = 0;
    waitpid(child, &status, 0);
    long long sum = 0;
    for (long long trip : trips) {
        sum += trip;
    }
    std::sort(trips.begin(), trips.end());
    std::printf("round_trips=%d bytes_out=%d median_us=%lld mean_us=%.1f p99_us=%lld min_us=%lld\n", count, size,
                trips[trips.size() / 2], static_cast<double>(sum) / count, trips[trips.size() * 99 / 100],
                trips.front());
    return 0;
}

void PrintDelays(const char* label, std::vector<long long> delays) {
    long long sum = 0;
    for (long long delay : delays) {
        sum += delay;
    }
    std::sort(delays.begin(), delays.end());
    std::printf("%s: waits=%zu late_median_us=%lld late_mean_us=%.1f late_max_us=%lld\n", label, delays.size(),
                delays[delays.size() / 2], static_cast<double>(sum) / delays.size(), delays.back());
}

int Oversleep(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: benchtool oversleep COUNT MICROS\n");
        return 2;
    }
    const int count = std::atoi(argv[2]);
    const long long micros = std::atoll(argv[3]);
    if (count < 1 || micros < 1) {
        std::fprintf(stderr, "benchtool: COUNT and MICROS must be positive\n");
        return 2;
    }
    std::vector<long long> precise;
    std::vector<long long> noSlack;
    std::vector<long long> milliseconds;
    const unsigned long defaultSlack = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
    for (int i = 0; i < count; ++i) {
        struct timespec wait = {static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000};
        long long start = NowUs();
        ppoll(nullptr, 0, &wait, nullptr);
        precise.push_back(NowUs() - start - micros);
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        start = NowUs();
        ppoll(nullptr, 0, &wait, nullptr);
        noSlack.push_back(NowUs() - start - micros);
        prctl(PR_SET_TIMERSLACK, defaultSlack, 0UL, 0UL, 0UL);
        start = NowUs();
        poll(nullptr, 0, static_cast<int>((micros + 999) / 1000));
        milliseconds.push_back(NowUs() - start - micros);
    }
    PrintDelays("ppoll", precise);
    PrintDelays("ppoll, timer slack 1 ns", noSlack);
    PrintDelays("poll in whole ms", milliseconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "run") {
        return Run(argc, argv);
    }
    if (mode == "stamp") {
        return Stamp();
    }
    if (mode == "pty-echo") {
        return PtyEcho(argc, argv);
    }
    if (mode == "oversleep") {
        return Oversleep(argc, argv);
    }
    std::fprintf(stderr, "usage: benchtool run|stamp|pty-echo|oversleep ...\n");
    return 2;
}
