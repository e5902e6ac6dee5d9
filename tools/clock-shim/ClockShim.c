/* ClockShim: moves the wall clock of a program it is preloaded into (LD_PRELOAD), so a test can
 * step the time of day of a running service by writing a number into a file.
 *
 * At every call of clock_gettime (CLOCK_REALTIME and CLOCK_REALTIME_COARSE only), time,
 * gettimeofday and timespec_get (TIME_UTC) the file named by ORVANE_CLOCK_OFFSET_FILE is read: a
 * signed decimal number of seconds, optionally surrounded by white space, is added to what the C
 * library says. A missing variable, a missing file or anything else in it means no offset. The
 * monotonic and boot clocks are never touched: they are what a correct program measures time with.
 *
 * Only calls that go through the dynamic symbols are seen; a program that reads the clock through
 * the vDSO itself or by a raw system call keeps the true time. errno is left as the C library set
 * it. The functions run in any thread and in signal handlers (open, read and close only). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

typedef int (*ClockGettimeFn)(clockid_t, struct timespec*);
typedef time_t (*TimeFn)(time_t*);
typedef int (*GettimeofdayFn)(struct timeval*, void*);
typedef int (*TimespecGetFn)(struct timespec*, int);

/* Offsets beyond about a thousand years are not a test's clock step but garbage. */
#define MAX_OFFSET_SECONDS 32000000000LL
/* Longest text accepted in the offset file; a longer file is garbage. */
#define MAX_OFFSET_TEXT 64

static void* NextSymbol(const char* name, void** cache) {
    void* found = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (found == NULL) {
        found = dlsym(RTLD_NEXT, name);
        __atomic_store_n(cache, found, __ATOMIC_RELEASE);
    }
    return found;
}

static int IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/* The number in text[0, length), or 0 when text is not exactly one number within bounds. */
static long long ParseOffset(const char* text, ssize_t length) {
    ssize_t at = 0;
    while (at < length && IsSpace(text[at]))
        ++at;
    int negative = 0;
    if (at < length && (text[at] == '-' || text[at] == '+'))
        negative = text[at++] == '-';
    const ssize_t digits = at;
    long long value = 0;
    for (; at < length && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > MAX_OFFSET_SECONDS)
            return 0;
    }
    if (at == digits)
        return 0;
    while (at < length && IsSpace(text[at]))
        ++at;
    if (at != length)
        return 0;
    return negative ? -value : value;
}

static long long OffsetSeconds(void) {
    const char* path = getenv("ORVANE_CLOCK_OFFSET_FILE");
    if (path == NULL || *path == '\0')
        return 0;
    const int saved = errno;
    long long offset = 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        char text[MAX_OFFSET_TEXT + 1];
        ssize_t length;
        do {
            length = read(fd, text, sizeof text);
        } while (length < 0 && errno == EINTR);
        if (length > 0 && length <= MAX_OFFSET_TEXT)
            offset = ParseOffset(text, length);
        close(fd);
    }
    errno = saved;
    return offset;
}

int clock_gettime(clockid_t clock, struct timespec* now) {
    static void* next;
    ClockGettimeFn real = (ClockGettimeFn)NextSymbol("clock_gettime", &next);
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int result = real(clock, now);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        now->tv_sec += (time_t)OffsetSeconds();
    return result;
}

time_t time(time_t* out) {
    static void* next;
    TimeFn real = (TimeFn)NextSymbol("time", &next);
    if (real == NULL) {
        errno = ENOSYS;
        return (time_t)-1;
    }
    time_t now = real(NULL);
    if (now != (time_t)-1)
        now += (time_t)OffsetSeconds();
    if (out != NULL)
        *out = now;
    return now;
}

int gettimeofday(struct timeval* restrict now, void* restrict zone) {
    static void* next;
    GettimeofdayFn real = (GettimeofdayFn)NextSymbol("gettimeofday", &next);
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int result = real(now, zone);
    if (result == 0)
        now->tv_sec += (time_t)OffsetSeconds();
    return result;
}

int timespec_get(struct timespec* now, int base) {
    static void* next;
    TimespecGetFn real = (TimespecGetFn)NextSymbol("timespec_get", &next);
    if (real == NULL)
        return 0;
    const int result = real(now, base);
    if (result == TIME_UTC)
        now->tv_sec += (time_t)OffsetSeconds();
    return result;
}
