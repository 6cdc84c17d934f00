// Running the tool on a POSIX host: fork, set up its streams, exec, wait.
// What only Linux offers (tracing a process to its exit, sizing a pipe) is
// kept to Linux; elsewhere the tests that need it are skipped, saying why.

#include "run_tool.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#ifdef __linux__
#include <sys/ptrace.h>
#endif

namespace dt {

const char *const kDirectoryReason = "Is a directory";
// A process killed by a signal shows as 128 + its number, as in the shell.
const int kReaderGoneStatus = 128 + SIGPIPE;

bool runningAsRoot() { return geteuid() == 0; }

static bool exists(const char *path) { return access(path, F_OK) == 0; }

const char *lacks(Need need)
{
    switch (need) {
    case Need::DevFull:
        return exists("/dev/full") ? nullptr : "this host has no /dev/full";
    case Need::DevStdin:
        return exists("/dev/stdin") ? nullptr : "this host has no /dev/stdin";
    case Need::DevZero:
        return exists("/dev/zero") ? nullptr : "this host has no /dev/zero";
    case Need::FullPipe:
    case Need::ReadCounters:
#ifdef __linux__
        return need == Need::ReadCounters && !exists("/proc/self/io")
                   ? "this kernel keeps no I/O counters in /proc"
                   : nullptr;
#else
        return "only Linux sizes a pipe and counts a process's reads for a test to see";
#endif
    case Need::NoProgramName:
        return emulated() ? "the emulator always passes the guest a program name" : nullptr;
    case Need::ClosedStdout:
    case Need::OtherUser:
        return nullptr;
    }
    return nullptr;
}

static const char kTraceRefused[] = "run: this system lets no process trace its child\n";

[[noreturn]] static void childFail(const char *what)
{
    if (write(2, what, std::strlen(what)) < 0) {
        // Nothing more to do: the status tells.
    }
    _exit(127);
}

// The child's side of run(): set up the three streams and the user, then exec.
// System calls, and setenv and execvp, which are safe after fork here since
// the test process is single-threaded; a failure exits 127 with a word on
// stderr.
[[noreturn]] static void child(const Run &r, bool trace, const char *file, char *const argv[],
                               int stdinPipe, int stdoutPipe, const char *outPath,
                               const char *errPath)
{
    int err = open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0 || dup2(err, 2) < 0)
        _exit(127);
    int in = stdinPipe >= 0 ? stdinPipe : open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0)
        childFail("run: stdin\n");
    switch (r.out) {
    case Out::File: {
        int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(out, 1) < 0)
            childFail("run: stdout\n");
        break;
    }
    case Out::DevFull: {
        int out = open("/dev/full", O_WRONLY);
        if (out < 0 || dup2(out, 1) < 0)
            childFail("run: /dev/full\n");
        break;
    }
    case Out::Closed:
        close(1);
        break;
    case Out::FullPipe:
    case Out::ReaderGone:
        if (dup2(stdoutPipe, 1) < 0)
            childFail("run: stdout pipe\n");
        break;
    }
    // The test process ignores SIGPIPE while it feeds a pipe; the tool gets
    // the default, as from a shell.
    std::signal(SIGPIPE, SIG_DFL);
    // Leave the child only 0, 1 and 2; the tool must not find stdout open by accident.
    for (int fd = 3; fd < 64; fd++)
        close(fd);
    if (r.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(r.uid)) != 0 ||
                       setuid(static_cast<uid_t>(r.uid)) != 0))
        childFail("run: setuid\n");
    if (trace) {
#ifdef __linux__
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
#endif
            childFail(kTraceRefused);
        // LeakSanitizer cannot work in a traced process: a sanitizer build
        // checks for leaks in the other runs.
        std::string asan = env("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (asan.empty() ? "detect_leaks=0" : asan + ":detect_leaks=0").c_str(), 1);
    }
    execvp(file, argv);  // the emulator is found on PATH
    childFail("run: exec failed\n");
}

static int waitFor(pid_t pid)
{
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid: " + std::string(std::strerror(errno)));
    return ws;
}

#ifdef __linux__
// The bytes the process read, all its threads and the program's loading
// (an emulator's too) included; false if its counters cannot be read.
static bool readRchar(pid_t pid, unsigned long long *rchar)
{
    std::istringstream io(readFile("/proc/" + std::to_string(pid) + "/io"));
    for (std::string key; io >> key;) {
        unsigned long long value = 0;
        io >> value;
        if (key == "rchar:") {
            *rchar = value;
            return true;
        }
    }
    return false;
}

// A traced child stops first at its exec: from there on, have it stop once
// more as it exits, and let it go. Returns false if it ended before its exec.
static bool traceToExit(pid_t pid, int *ws)
{
    *ws = waitFor(pid);
    if (!WIFSTOPPED(*ws))
        return false;
    if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL) != 0 ||
        ptrace(PTRACE_CONT, pid, nullptr, nullptr) != 0)
        throw std::runtime_error("ptrace: " + std::string(std::strerror(errno)));
    return true;
}

// The kernel gives a process's counters only to root once the process has
// let go of its memory, so they are read at the exit stop, while they are
// still its own user's to read. Other stops pass their signal on. Returns
// the wait status of the child's end.
static int waitTraced(pid_t pid, Result *res)
{
    for (;;) {
        int ws = waitFor(pid);
        if (!WIFSTOPPED(ws))
            return ws;
        long sig = 0;
        if (ws >> 8 == (SIGTRAP | PTRACE_EVENT_EXIT << 8))
            readRchar(pid, &res->rchar);
        else if (WSTOPSIG(ws) != SIGTRAP)
            sig = WSTOPSIG(ws);
        if (ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(sig)) != 0)
            throw std::runtime_error("ptrace: " + std::string(std::strerror(errno)));
    }
}

// A pipe whose write end is non-blocking and holds all but about 1 KiB: a
// small write still fits, a page-sized one finds no room and fails at once.
static void fillPipe(int fds[2])
{
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    int size = fcntl(fds[1], F_GETPIPE_SZ);
    if (size < 4096 || fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK) != 0)
        throw std::runtime_error("pipe: cannot size or unblock it");
    std::string filler(static_cast<size_t>(size) - 1024, 'x');
    if (write(fds[1], filler.data(), filler.size()) != static_cast<ssize_t>(filler.size()))
        throw std::runtime_error("pipe: cannot fill it");
}

// An emulator cannot be traced (qemu-user runs no ptrace for its guest):
// wait for the end without reaping the process, so that root at least can
// still read its counters. Returns the wait status.
static int waitUnreaped(pid_t pid, Result *res)
{
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0)
        if (errno != EINTR)
            throw std::runtime_error("waitid: " + std::string(std::strerror(errno)));
    if (!readRchar(pid, &res->rchar))
        res->uncounted = "the emulated tool cannot be traced, and only root may read the "
                         "counters of a process that has ended";
    return waitFor(pid);
}

#else
static int waitUnreaped(pid_t, Result *) { throw std::logic_error("no counters on this host"); }
static bool traceToExit(pid_t, int *) { throw std::logic_error("no tracing on this host"); }
static int waitTraced(pid_t, Result *) { throw std::logic_error("no tracing on this host"); }
static void fillPipe(int[2]) { throw std::logic_error("no pipe sizing on this host"); }
#endif

Result run(const Run &r)
{
    static int serial;
    std::string stem = scratchDir() + "/run" + std::to_string(++serial);
    std::string outPath = stem + ".out", errPath = stem + ".err";

    std::vector<std::string> words = emulator();
    if (!words.empty() && !r.argv0.empty()) {
        words.push_back("-0");  // qemu-user: the guest's argv[0]
        words.push_back(r.argv0);
    }
    const std::string tool = r.tool.empty() ? toolPath() : r.tool;
    words.push_back(tool);
    for (const std::string &a : r.args)
        words.push_back(a);
    if (!r.argv0.empty() && !emulated())
        words[0] = r.argv0;

    std::vector<char *> argv;
    if (!r.noArgv || emulated())
        for (std::string &w : words)
            argv.push_back(w.data());
    argv.push_back(nullptr);
    std::string file = emulated() ? emulator()[0] : tool;

    int feed[2] = {-1, -1};
    if (!r.stdinPieces.empty() && pipe(feed) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    int sink[2] = {-1, -1};
    if (r.out == Out::FullPipe)
        fillPipe(sink);
    if (r.out == Out::ReaderGone) {
        if (pipe(sink) != 0)
            throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
        close(sink[0]);  // gone before the tool starts
        sink[0] = -1;
    }
    const bool trace = r.countReads && !emulated();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        if (feed[1] >= 0)
            close(feed[1]);
        child(r, trace, file.c_str(), argv.data(), feed[0], sink[1], outPath.c_str(), errPath.c_str());
    }
    if (sink[1] >= 0)
        close(sink[1]);

    // A traced tool is held at its exec until it is let go here.
    Result res;
    int ws = 0;
    bool traced = trace && traceToExit(pid, &ws);

    if (feed[1] >= 0) {
        close(feed[0]);
        std::signal(SIGPIPE, SIG_IGN);  // the tool may stop reading early
        for (const std::string &piece : r.stdinPieces) {
            std::this_thread::sleep_for(std::chrono::milliseconds(r.pauseMs));
            if (write(feed[1], piece.data(), piece.size()) < 0)
                break;
        }
        close(feed[1]);
    }

    if (traced)
        ws = waitTraced(pid, &res);
    else if (r.countReads && !trace)
        ws = waitUnreaped(pid, &res);
    else if (!trace)
        ws = waitFor(pid);
    if (sink[0] >= 0)
        close(sink[0]);
    res.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    res.out = readFile(outPath);
    res.err = readFile(errPath);
    if (trace && !traced && res.status == 127 && res.err == kTraceRefused)
        res.uncounted = "this system lets no process trace its child";
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return res;
}

}  // namespace dt
