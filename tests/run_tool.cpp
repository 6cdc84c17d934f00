#include "run_tool.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <thread>
#include <chrono>
#include <csignal>
#include <sstream>
#include <stdexcept>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dt {

std::string dump(std::initializer_list<Rec> recs)
{
    std::string s;
    for (const Rec &r : recs)
        for (std::uint32_t w : r.w)
            for (int shift = 24; shift >= 0; shift -= 8)
                s.push_back(static_cast<char>((w >> shift) & 0xffu));
    return s;
}

std::string area(std::vector<std::pair<int, Rec>> slots)
{
    std::string s(896, '\0');
    for (const auto &[i, r] : slots)
        s.replace(static_cast<size_t>(i) * 28, 28, dump({r}));
    return s;
}

static std::string env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? v : "";
}

// The build names the tool it made; DUMP_TIMERS in the environment points the
// tests at another binary (an installed one, say).
std::string toolPath()
{
    std::string p = env("DUMP_TIMERS");
    return p.empty() ? DUMP_TIMERS_PATH : p;
}

static std::vector<std::string> emulator()
{
    std::vector<std::string> words;
    std::istringstream in(DUMP_TIMERS_EMULATOR_WORDS);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

bool emulated() { return !emulator().empty(); }

static std::string dir;

static void removeScratch() { std::filesystem::remove_all(dir); }

std::string scratchDir()
{
    if (dir.empty()) {
        std::string base = env("TMPDIR").empty() ? "/tmp" : env("TMPDIR");
        std::string tmpl = base + "/dump_timers_test.XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
        dir = tmpl;
        std::atexit(removeScratch);
    }
    return dir;
}

std::string writeFile(const std::string &name, const std::string &bytes)
{
    std::string path = scratchDir() + "/" + name;
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
    // A fuzzing build collects every dump the tests write as seeds.
    if (std::string seeds = env("DUMP_TIMERS_SEED_DIR"); !seeds.empty() && bytes.size() <= 4096) {
        std::ofstream seed(seeds + "/" + name, std::ios::binary | std::ios::trunc);
        seed.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    return path;
}

std::string readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
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
// Plain system calls only (the test process is single-threaded, so execvp and
// setenv are safe after fork); a failure exits 127 with a word on stderr.
[[noreturn]] static void child(const Run &r, const char *file, char *const argv[], int stdinPipe,
                               int stdoutPipe, const char *outPath, const char *errPath)
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
        if (dup2(stdoutPipe, 1) < 0)
            childFail("run: stdout pipe\n");
        break;
    }
    // Leave the child only 0, 1 and 2; the tool must not find stdout open by accident.
    for (int fd = 3; fd < 64; fd++)
        close(fd);
    if (r.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(r.uid)) != 0 ||
                       setuid(static_cast<uid_t>(r.uid)) != 0))
        childFail("run: setuid\n");
    if (r.countReads) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            childFail(kTraceRefused);
        // LeakSanitizer cannot work in a traced process: a sanitizer build
        // checks for leaks in the other runs.
        std::string asan = env("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (asan.empty() ? "detect_leaks=0" : asan + ":detect_leaks=0").c_str(), 1);
    }
    execvp(file, argv);  // the emulator is found on PATH
    childFail("run: exec failed\n");
}

static unsigned long long readRchar(pid_t pid)
{
    std::istringstream io(readFile("/proc/" + std::to_string(pid) + "/io"));
    for (std::string key; io >> key;) {
        unsigned long long value = 0;
        io >> value;
        if (key == "rchar:")
            return value;
    }
    return 0;
}

static int waitFor(pid_t pid)
{
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid: " + std::string(std::strerror(errno)));
    return ws;
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
            res->rchar = readRchar(pid);
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
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        if (feed[1] >= 0)
            close(feed[1]);
        child(r, file.c_str(), argv.data(), feed[0], sink[1], outPath.c_str(), errPath.c_str());
    }
    if (sink[1] >= 0)
        close(sink[1]);

    // A traced tool is held at its exec until it is let go here.
    Result res;
    int ws = 0;
    bool traced = r.countReads && traceToExit(pid, &ws);

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
    else if (!r.countReads)
        ws = waitFor(pid);
    if (sink[0] >= 0)
        close(sink[0]);
    res.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    res.out = readFile(outPath);
    res.err = readFile(errPath);
    if (r.countReads && res.status == 127 && res.err == kTraceRefused)
        res.traceRefused = true;
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return res;
}

// A heading is "Timer N [HEX]: " and then the rest of its line.
static bool parseHeading(const std::string &line, std::string *slot, std::string *hex, std::string *rest)
{
    const std::string timer = "Timer ";
    if (line.rfind(timer, 0) != 0)
        return false;
    size_t at = timer.size(), end = line.find_first_not_of("0123456789", at);
    if (end == at || end == std::string::npos || line.compare(end, 2, " [") != 0)
        return false;
    *slot = line.substr(at, end - at);
    at = end + 2;
    end = line.find_first_not_of("0123456789abcdef", at);
    if (end == std::string::npos || end - at < 8 || line.compare(end, 3, "]: ") != 0)
        return false;
    *hex = line.substr(at, end - at);
    *rest = line.substr(end + 3);
    return true;
}

std::string maskAddresses(const std::string &report, std::string *why)
{
    std::istringstream in(report);
    std::string out, line;
    unsigned long long first = 0;
    int slot = 0;
    while (std::getline(in, line)) {
        std::string n, hex, rest;
        if (parseHeading(line, &n, &hex, &rest)) {
            unsigned long long addr = std::stoull(hex, nullptr, 16);
            if (slot == 0)
                first = addr;
            if (n != std::to_string(slot))
                *why += "slot " + n + " out of order; ";
            else if (addr != first + 28ull * static_cast<unsigned>(slot))
                *why += "slot " + n + " not 28 bytes after the one before; ";
            line = "Timer " + n + " [ADDR]: " + rest;
            slot++;
        } else if (line.rfind("Timer ", 0) == 0) {
            *why += "malformed heading: " + line + "; ";
        }
        out += line;
        if (!in.eof())
            out += '\n';
    }
    return out;
}

}  // namespace dt
