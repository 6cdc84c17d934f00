// dump_timers - print the timer table of a ZET target from a raw dump.
//
// The target keeps its timers in one fixed table of 32 records of 28 bytes.
// A dump file is a byte-for-byte copy of that table as the target stores it:
// 896 bytes of big-endian 32-bit words, no header. This tool loads the first
// 896 bytes of such a file, decodes every word to host order and prints one
// report per slot.
//
// The file reads top to bottom as the data flows: the target's record types,
// the timer area and the owner names, the loader, the report, the driver.

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "portability.h"

// The target's basic types.
using u32 = std::uint32_t;
using s32 = std::int32_t;
using ZETTime = u32;
using ZETMessage = s32;

// One timer record, exactly as the target lays it out. mq, prev and next are
// addresses in the target's 32-bit memory: printed, never followed.
struct ZETTimer {
    ZETTime value;     // time value
    ZETTime interval;  // reload interval
    u32 mq;            // target address of the ZETMessageQueue; 0: slot free
    ZETMessage mesg;   // message posted when the timer fires
    u32 owner;         // id of the owning process, see __processes
    u32 prev;          // target address of the previous ZETTimer in its list
    u32 next;          // target address of the next ZETTimer in its list
};
static_assert(sizeof(ZETTimer) == 28, "a timer record is seven 32-bit words");

enum { TIMER_SLOTS = 32, OWNER_NAMES = 16 };

// The timer area: zero at start, filled and decoded once by initTimers.
static ZETTimer __timers[TIMER_SLOTS];
static_assert(sizeof __timers == 896, "a dump holds 896 bytes");

// Number of whole records the last load read (0 to 32).
u32 nqueues;

// Owner names, indexed by process id (not by slot). Ids 9 and 12 really are
// both "ga" on the target.
extern const char *const __processes[OWNER_NAMES];
const char *const __processes[OWNER_NAMES] = {
    "tarmin", "gorvand", "ux", "qo", "pe0", "pe1", "bry", "malvik",
    "jor",    "ga",      "ob", "ek", "ga",  "hux", "rol", "cerlund",
};

// Load a dump from stream into __timers and decode it. Returns 0 when at least
// one whole record was read, -1 otherwise. On a read error nothing is decoded
// or printed and the stream's error flag tells the caller why -1 came back.
int initTimers(FILE *stream)
{
    unsigned char *area = reinterpret_cast<unsigned char *>(__timers);

    size_t n = fread(area, sizeof(ZETTimer), TIMER_SLOTS, stream);
    if (ferror(stream))
        return -1;
    nqueues = static_cast<u32>(n);

    // fread may leave the bytes of a trailing partial record in the area.
    // Half a record is not a timer: keep that slot, and all after it, zero.
    std::memset(area + n * sizeof(ZETTimer), 0, sizeof __timers - n * sizeof(ZETTimer));

    if (nqueues == 0) {
        printf("Did not find any timers in the file\n");
        return -1;
    }

    // Every word is big-endian in the file. Build each from its bytes so the
    // result is the same whatever the host's own byte order.
    for (size_t off = 0; off < sizeof __timers; off += sizeof(u32)) {
        const unsigned char *b = area + off;
        u32 w = static_cast<u32>(b[0]) << 24 | static_cast<u32>(b[1]) << 16 |
                static_cast<u32>(b[2]) << 8 | static_cast<u32>(b[3]);
        std::memcpy(area + off, &w, sizeof w);
    }
    return 0;
}

// Report slot i: a heading with the record's host address, then "Unused" or
// the record's fields. value, interval and owner print as signed decimal, the
// way the target's own tools show them; the rest as 32-bit hex patterns.
void __zetGetTimerUsage(int i)
{
    if (i < 0 || i >= TIMER_SLOTS)
        return;
    const ZETTimer &t = __timers[i];

    printf("Timer %d [%08" PRIxPTR "]: ", i, reinterpret_cast<uintptr_t>(&t));
    if (t.mq == 0) {
        printf("Unused\n");
        return;
    }
    printf("\n");
    printf("  value: %d, interval: %d\n", static_cast<int>(static_cast<s32>(t.value)),
           static_cast<int>(static_cast<s32>(t.interval)));
    printf("  mesg: %08x, mq: %08x\n", static_cast<unsigned>(static_cast<u32>(t.mesg)),
           static_cast<unsigned>(t.mq));
    printf("  prev: %08x, next: %08x\n", static_cast<unsigned>(t.prev),
           static_cast<unsigned>(t.next));
    if (t.owner < OWNER_NAMES)
        printf("  owner: %d (%s)\n", static_cast<int>(static_cast<s32>(t.owner)),
               __processes[t.owner]);
    else
        printf("  owner: %d (unknown)\n", static_cast<int>(static_cast<s32>(t.owner)));
}

// Report the whole area, every slot whatever the file reached, then a blank line.
void __zetGetTimersUsage(void)
{
    for (int i = 0; i < TIMER_SLOTS; i++)
        __zetGetTimerUsage(i);
    printf("\n");
}

static const char progname[] = "dump_timers";

// The last printf may land in the buffer while the real write fails later
// (a full disk, a closed descriptor): flush and check before claiming success.
// A write can also fail mid-report (a non-blocking pipe that is full) and the
// final flush then succeed; the stream's error flag remembers the failure, and
// errno still holds its reason, since nothing since has failed to set another.
// A reader that went away early (dump_timers d.bin | head -2) is no error
// worth a line: the run just ends with status 1, as SIGPIPE ends it on Unix.
static int closeStdout(void)
{
    bool failed = ferror(stdout) != 0;
    int err = failed ? errno : 0;
    bool gone = failed && stdoutReaderGone();
    errno = 0;
    if (fclose(stdout) != 0 && !failed) {
        failed = true;
        err = errno;
        gone = stdoutReaderGone();
    }
    if (!failed)
        return 0;
    if (gone)
        return 1;
    if (err != 0)
        fprintf(stderr, "%s: write error: %s\n", progname, strerror(err));
    else
        fprintf(stderr, "%s: write error\n", progname);
    return 1;
}

#ifndef DUMP_TIMERS_NO_MAIN
int main(int argc, char *argv[])
{
    hostArgs(&argc, &argv);
    if (argc < 2) {
        // An empty command line has no name to show: use our own.
        const char *name = progname;
        if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0')
            name = argv[0];
        printf("Usage: %s <file>\n", name);
        printf("Total size of timers area = %u bytes\n", static_cast<unsigned>(sizeof __timers));
        return closeStdout();
    }

    // The stream stays open until exit: the tool reads one file and ends.
    FILE *stream = openDump(argv[1]);
    if (stream == nullptr) {
        fprintf(stderr, "%s: %s: %s\n", progname, argv[1], strerror(errno));
        return 1;
    }

    int status = 0;
    if (initTimers(stream) == 0) {
        __zetGetTimersUsage();
    } else if (ferror(stream)) {
        fprintf(stderr, "%s: %s: %s\n", progname, argv[1], strerror(errno));
        status = 1;
    }
    if (closeStdout() != 0)
        status = 1;
    return status;
}
#endif
