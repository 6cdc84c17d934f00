#include "run_tool.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

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

std::string env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? v : "";
}

std::filesystem::path fsPath(const std::string &utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8(const std::filesystem::path &p)
{
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// The build names the tool it made; DUMP_TIMERS in the environment points the
// tests at another binary (an installed one, say).
std::string toolPath()
{
    std::string p = env("DUMP_TIMERS");
    return p.empty() ? DUMP_TIMERS_PATH : p;
}

std::vector<std::string> emulator()
{
    std::vector<std::string> words;
    std::istringstream in(DUMP_TIMERS_EMULATOR_WORDS);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

bool emulated() { return !emulator().empty(); }

// What a place for standard output needs of the host.
const char *lacks(Out out)
{
    switch (out) {
    case Out::DevFull:
        return lacks(Need::DevFull);
    case Out::Closed:
        return lacks(Need::ClosedStdout);
    case Out::FullPipe:
        return lacks(Need::FullPipe);
    case Out::File:
    case Out::ReaderGone:
        return nullptr;
    }
    return nullptr;
}

static std::filesystem::path dir;

static void removeScratch()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string scratchDir()
{
    if (dir.empty()) {
        std::filesystem::path base = std::filesystem::temp_directory_path();
        std::random_device random;
        for (int tries = 0; dir.empty(); tries++) {
            std::filesystem::path d = base / ("dump_timers_test." + std::to_string(random()));
            if (std::filesystem::create_directory(d))
                dir = d;
            else if (tries == 100)
                throw std::runtime_error("cannot make a scratch folder in " + utf8(base));
        }
        std::atexit(removeScratch);
    }
    return utf8(dir);
}

std::string writeFile(const std::string &name, const std::string &bytes)
{
    std::string path = scratchDir() + "/" + name;
    std::ofstream f(fsPath(path), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
    // A fuzzing build collects every dump the tests write as seeds.
    if (std::string seeds = env("DUMP_TIMERS_SEED_DIR"); !seeds.empty() && bytes.size() <= 4096) {
        std::ofstream seed(fsPath(seeds + "/" + name), std::ios::binary | std::ios::trunc);
        seed.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    return path;
}

std::string readFile(const std::string &path)
{
    std::ifstream f(fsPath(path), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
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
