/* fake_transcoder.c: a stand-in for "orval.so" that reads its one command
 * line and then prints a progress line twice a second, forever.
 *
 * It costs next to nothing (one write and one sleep per line), so what the
 * supervision benchmark measures is the service's side of the pipes. It ends
 * on SIGINT (default disposition) and dies with its parent, so a benchmark
 * that crashes leaves no children behind. */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#define INTERVAL_NS 500000000L
#define KBITS_PER_S 1010.9

static void dieWithParent(void)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    /* The parent may have died before the request was made. */
    if (getppid() == 1)
        _exit(0);
}

/* The engine keeps stdin open after the line, so read only up to its end. */
static void readCommandLine(void)
{
    char c;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1 && c == '\n')
            return;
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}

static void writeAll(const char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            _exit(1); /* nobody reads the output any more */
        p += w;
        n -= (size_t)w;
    }
}

static void addNs(struct timespec* t, long ns)
{
    t->tv_nsec += ns;
    while (t->tv_nsec >= 1000000000L) {
        t->tv_nsec -= 1000000000L;
        t->tv_sec++;
    }
}

static void printProgress(long centis)
{
    char line[200];
    long frame = centis / 4; /* 25 frames per second */
    double kbytes = centis / 100.0 * KBITS_PER_S / 8.0;
    int n = snprintf(line, sizeof line,
                     "frame=%5ld fps= 25 q=28.0 size=%8.0fkB time=%02ld:%02ld:%02ld.%02ld "
                     "bitrate=%6.1fkbits/s speed=1.00x    \r",
                     frame, kbytes, centis / 360000, centis / 6000 % 60, centis / 100 % 60,
                     centis % 100, KBITS_PER_S);
    if (n > 0)
        writeAll(line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

int main(void)
{
    dieWithParent();
    readCommandLine();
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    /* Children started in one burst would otherwise all print in the same
     * instant, which flatters a supervisor that handles them in batches. */
    unsigned phase = (unsigned)getpid() ^ (unsigned)next.tv_nsec;
    addNs(&next, (long)(rand_r(&phase) % 500) * 1000000L);
    for (long centis = 50;; centis += 50) {
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) == EINTR) {
        }
        printProgress(centis);
        addNs(&next, INTERVAL_NS);
    }
}
