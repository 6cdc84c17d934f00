// Runs the built dump_timers as a user would: a command line, an input file,
// and its two output streams and exit status captured whole.
#pragma once

#include <cstdint>
#include <filesystem>
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
// closed descriptor, a non-blocking pipe that nobody drains, with about 1 KiB
// free (what the tool gets into it is not captured), or a pipe whose reader
// is gone before the tool writes.
enum class Out { File, DevFull, Closed, FullPipe, ReaderGone };
struct Result {
    std::string out, err;
    int status = -1;               // exit status, or 128 + signal
    unsigned long long rchar = 0;  // with countReads: bytes the process read
    std::string uncounted;         // with countReads: why they could not be counted
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
    // exit for that moment. An emulated tool cannot be traced; its counters
    // are read after its end, which only root may do.
    bool countReads = false;
};

// The tool under test and the emulator (for a cross build) to run it under.
std::string toolPath();
std::vector<std::string> emulator();
bool emulated();

Result run(const Run &r);

// What a test may need of the host that not every host has. lacks() gives
// the reason a test must be skipped here, or nullptr if the host has it.
enum class Need {
    DevFull,        // /dev/full
    ClosedStdout,   // starting a process with descriptor 1 closed
    FullPipe,       // a pipe of known size, filled, in non-blocking mode
    ReadCounters,   // the bytes a process read, as it exits
    OtherUser,      // running as another user, to be refused a file
    DevStdin,       // /dev/stdin, to read a dump from a pipe
    DevZero,        // /dev/zero
    NoProgramName,  // starting a process with no words at all
};
const char *lacks(Need need);
const char *lacks(Out out);
bool runningAsRoot();

// Where the hosts answer alike in kind but not in words or numbers.
extern const char *const kDirectoryReason;  // why a folder does not open as a dump
extern const int kReaderGoneStatus;         // the status of a run whose reader left

// The environment variable's value, or "".
std::string env(const char *name);
// A UTF-8 string as a path, and back, on any host.
std::filesystem::path fsPath(const std::string &utf8);
std::string utf8(const std::filesystem::path &p);

// A fresh scratch folder for this process, and a file in it with these bytes.
std::string scratchDir();
std::string writeFile(const std::string &name, const std::string &bytes);
std::string readFile(const std::string &path);

// Checks that the slot headings carry at least eight lowercase hex digits,
// 28 apart from slot to slot, and replaces each address with "ADDR" so the
// rest of the report compares as fixed text. Adds to *why what is wrong.
std::string maskAddresses(const std::string &report, std::string *why);

}  // namespace dt
