#include "run_tool.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

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
    return path;
}

std::string readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
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
    words.push_back(toolPath());
    for (const std::string &a : r.args)
        words.push_back(a);
    if (!r.argv0.empty() && !emulated())
        words[0] = r.argv0;

    std::vector<char *> argv;
    if (!r.noArgv || emulated())
        for (std::string &w : words)
            argv.push_back(w.data());
    argv.push_back(nullptr);
    std::string file = emulated() ? emulator()[0] : toolPath();

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, r.stdinPath.c_str(), O_RDONLY, 0);
    switch (r.out) {
    case Out::File:
        posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        break;
    case Out::DevFull:
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/full", O_WRONLY, 0);
        break;
    case Out::Closed:
        posix_spawn_file_actions_addclose(&fa, 1);
        break;
    }
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    pid_t pid;
    int rc = posix_spawn(&pid, file.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("spawn " + file + ": " + std::strerror(rc));

    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid: " + std::string(std::strerror(errno)));

    Result res;
    res.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    res.out = readFile(outPath);
    res.err = readFile(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return res;
}

std::string maskAddresses(const std::string &report, std::string *why)
{
    static const std::regex heading(R"(^Timer (\d+) \[([0-9a-f]{8,})\]: )");
    std::istringstream in(report);
    std::string out, line;
    unsigned long long first = 0;
    int slot = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, heading)) {
            unsigned long long addr = std::stoull(m[2].str(), nullptr, 16);
            if (slot == 0)
                first = addr;
            if (std::stoi(m[1].str()) != slot)
                *why += "slot " + m[1].str() + " out of order; ";
            else if (addr != first + 28ull * static_cast<unsigned>(slot))
                *why += "slot " + m[1].str() + " not 28 bytes after the one before; ";
            line = "Timer " + m[1].str() + " [ADDR]: " + m.suffix().str();
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
