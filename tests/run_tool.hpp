// Runs the built dump_timers as a user would: a command line, an input file,
// and its two output streams and exit status captured whole.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace dt {

// One record as the target holds it: value, interval, mq, mesg, owner, prev, next.
struct Rec {
    std::uint32_t w[7];
};

// The dump bytes of records back to back, each word big-endian.
std::string dump(std::initializer_list<Rec> recs);
// The 896-byte dump of a whole area whose slot i holds slots[i] (zero past the list).
std::string area(std::vector<std::pair<int, Rec>> slots);

// Where the tool's standard output goes: a file (captured), /dev/full, a
// closed descriptor, or a non-blocking pipe that nobody drains, with about
// 1 KiB free (what the tool gets into that pipe is not captured).
enum class Out { File, DevFull, Closed, FullPipe };

struct Result {
    std::string out, err;
    int status = -1;               // exit status, or 128 + signal
    unsigned long long rchar = 0;  // with countReads: bytes the process read
    bool traceRefused = false;     // with countReads: the system allows no tracing
};

struct Run {
    std::vector<std::string> args;  // after the program name
    std::string tool;               // empty: toolPath()
    std::string argv0;              // empty: the tool's path
    bool noArgv = false;            // exec with an empty argv
    Out out = Out::File;
    // Standard input is /dev/null, or, when pieces are given, a pipe fed them
    // one at a time, with a pause before each, and closed after the last.
    std::vector<std::string> stdinPieces;
    int pauseMs = 0;
    int uid = -1;  // >= 0: run under this user and group id
    // Read the process's I/O counters (/proc/PID/io) as it exits, while they
    // are still its user's to read: the tool runs traced and is held at its
    // exit for that moment.
    bool countReads = false;
};

// The tool under test and the emulator (for a cross build) to run it under.
std::string toolPath();
bool emulated();

Result run(const Run &r);

// A fresh scratch folder for this process, and a file in it with these bytes.
std::string scratchDir();
std::string writeFile(const std::string &name, const std::string &bytes);
std::string readFile(const std::string &path);

// Checks that the slot headings carry at least eight lowercase hex digits,
// 28 apart from slot to slot, and replaces each address with "ADDR" so the
// rest of the report compares as fixed text. Adds to *why what is wrong.
std::string maskAddresses(const std::string &report, std::string *why);

}  // namespace dt
