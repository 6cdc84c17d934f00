// libFuzzer target: any bytes, 0 to a few thousand, as a dump file through the
// tool's own main, with the report captured and checked against the input on
// every run:
//   - the run ends normally with status 0;
//   - under 28 bytes: exactly the loader's line;
//   - otherwise: 32 slot headings in order, their addresses 28 apart, then one
//     empty line. A slot the input covers whole and whose mq word is not 0 is
//     in use, any other slot is "Unused"; a slot in use shows every field as
//     the big-endian word at its offset in the input: value, interval and
//     owner in signed decimal, mesg, mq, prev and next in 8 hex digits, and
//     the owner's name from the table below, kept here, apart from the tool.
//
// The same input then goes through --json, read back with nlohmann's parser:
//   - it parses, with 32 timers whose "used" is what the input says;
//   - every listed slot is in use and on one list only, once; each list
//     follows next_slot from one timer to the next (so every walk ended, at
//     most 32 steps long);
//   - the status is 3 exactly when "problems" is not empty, else 0.
//
// The tool is compiled into this file unchanged: its main is renamed, and its
// fopen is wrapped so the stream it leaves open for the process's life can be
// closed here after each input.

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>
#include <sys/mman.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

static FILE *lastOpened;

static FILE *fuzzFopen(const char *path, const char *mode)
{
    lastOpened = std::fopen(path, mode);
    return lastOpened;
}

#define main dumpTimersMain
#define fopen fuzzFopen
#include "../sw/tools/conv/dump_timers.cpp"
#undef fopen
#undef main

namespace {

// The target's process names, by id.
const char *const kOwnerNames[16] = {
    "tarmin", "gorvand", "ux", "qo", "pe0", "pe1", "bry", "malvik",
    "jor",    "ga",      "ob", "ek", "ga",  "hux", "rol", "cerlund",
};

[[noreturn]] void fail(const std::string &what, std::string_view report)
{
    std::fprintf(stderr, "fuzz: %s\n--- report ---\n%.*s--- end ---\n", what.c_str(),
                 static_cast<int>(report.size()), report.data());
    std::abort();
}

// The report being read, and what is left of it.
struct Reader {
    std::string_view report, s;

    void expect(std::string_view text, const std::string &what)
    {
        if (s.substr(0, text.size()) != text)
            fail(what + ": expected \"" + std::string(text) + "\"", report);
        s.remove_prefix(text.size());
    }

    // Lowercase hex digits, as many as there are.
    std::string_view hexDigits()
    {
        size_t n = 0;
        while (n < s.size() && ((s[n] >= '0' && s[n] <= '9') || (s[n] >= 'a' && s[n] <= 'f')))
            n++;
        std::string_view digits = s.substr(0, n);
        s.remove_prefix(n);
        return digits;
    }

    // Exactly 8 lowercase hex digits that spell the 32-bit word.
    void hex8(uint32_t word, const std::string &what)
    {
        std::string_view d = hexDigits();
        if (d.size() != 8)
            fail(what + ": not 8 lowercase hex digits", report);
        uint32_t got = 0;
        for (char c : d)
            got = got << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (got != word)
            fail(what + ": does not match the input", report);
    }

    // The word read as a signed 32-bit number, in plain decimal: an optional
    // '-', no leading zero, no "-0".
    void signedDecimal(uint32_t word, const std::string &what)
    {
        bool negative = !s.empty() && s[0] == '-';
        if (negative)
            s.remove_prefix(1);
        size_t n = 0;
        while (n < s.size() && n < 11 && s[n] >= '0' && s[n] <= '9')
            n++;
        if (n == 0 || n > 10 || (s[0] == '0' && (n > 1 || negative)))
            fail(what + ": not a plain decimal number", report);
        long long got = 0;
        for (size_t k = 0; k < n; k++)
            got = got * 10 + (s[k] - '0');
        s.remove_prefix(n);
        long long want = word < 0x80000000u ? static_cast<long long>(word)
                                            : static_cast<long long>(word) - 0x100000000ll;
        if ((negative ? -got : got) != want)
            fail(what + ": does not match the input", report);
    }
};

uint32_t wordAt(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

void checkReport(std::string_view report, const uint8_t *data, size_t size)
{
    Reader r{report, report};
    unsigned long long base = 0;
    for (size_t i = 0; i < 32; i++) {
        std::string slot = "slot " + std::to_string(i);
        r.expect("Timer " + std::to_string(i) + " [", slot + " heading");
        std::string_view addr = r.hexDigits();
        if (addr.size() < 8 || addr.size() > 16)
            fail(slot + ": address not 8 to 16 lowercase hex digits", report);
        unsigned long long at = std::strtoull(std::string(addr).c_str(), nullptr, 16);
        if (i == 0)
            base = at;
        else if (at != base + 28ull * i)
            fail(slot + ": address not 28 bytes after the one before", report);

        // value, interval, mq, mesg, owner, prev, next
        uint32_t w[7] = {};
        bool covered = size >= 28 * (i + 1);
        for (size_t k = 0; covered && k < 7; k++)
            w[k] = wordAt(data + 28 * i + 4 * k);
        if (!covered || w[2] == 0) {
            r.expect("]: Unused\n", slot + " free");
            continue;
        }
        r.expect("]: \n  value: ", slot + " in use");
        r.signedDecimal(w[0], slot + " value");
        r.expect(", interval: ", slot);
        r.signedDecimal(w[1], slot + " interval");
        r.expect("\n  mesg: ", slot);
        r.hex8(w[3], slot + " mesg");
        r.expect(", mq: ", slot);
        r.hex8(w[2], slot + " mq");
        r.expect("\n  prev: ", slot);
        r.hex8(w[5], slot + " prev");
        r.expect(", next: ", slot);
        r.hex8(w[6], slot + " next");
        r.expect("\n  owner: ", slot);
        r.signedDecimal(w[4], slot + " owner");
        r.expect(std::string(" (") + (w[4] < 16 ? kOwnerNames[w[4]] : "unknown") + ")\n",
                 slot + " owner name");
    }
    if (r.s != "\n")
        fail("report does not end in exactly one empty line", report);
}

// Each list: its slots in use, listed once in all, chained by next_slot.
void checkJson(std::string_view out, int status, const uint8_t *data, size_t size)
{
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(out);
    } catch (const nlohmann::json::exception &e) {
        fail(std::string("--json output does not parse: ") + e.what(), out);
    }
    const nlohmann::json &timers = j.at("timers");
    if (!timers.is_array() || timers.size() != 32)
        fail("--json: not 32 timers", out);
    for (size_t i = 0; i < 32; i++) {
        bool used = size >= 28 * (i + 1) && wordAt(data + 28 * i + 8) != 0;
        if (timers[i].at("used") != used)
            fail("--json: slot " + std::to_string(i) + " used does not match the input", out);
    }
    bool listed[32] = {};
    for (const nlohmann::json &list : j.at("lists")) {
        if (list.empty())
            fail("--json: an empty list", out);
        for (size_t k = 0; k < list.size(); k++) {
            int s = list[k].get<int>();
            if (s < 0 || s > 31 || !timers[static_cast<size_t>(s)].at("used").get<bool>())
                fail("--json: listed slot " + std::to_string(s) + " is not in use", out);
            if (listed[s])
                fail("--json: slot " + std::to_string(s) + " listed twice", out);
            listed[s] = true;
            if (k > 0 && timers[list[k - 1].get<size_t>()].at("next_slot") != s)
                fail("--json: slot " + std::to_string(s) + " does not follow its list's last", out);
        }
    }
    bool problems = !j.at("problems").empty();
    if (status != (problems ? 3 : 0))
        fail("--json: status " + std::to_string(status) + " with" + (problems ? "" : "out") +
                 " problems", out);
}

int dumpFd = -1;
char dumpPath[64];

// The tool's main on the dump, with these options before it; its report
// (or view) in *out, to be freed.
int runTool(std::vector<char *> options, char **out, size_t *outSize)
{
    FILE *savedStdout = stdout;
    *out = nullptr;
    *outSize = 0;
    stdout = open_memstream(out, outSize);
    if (stdout == nullptr)
        fail("open_memstream failed", "");
    std::vector<char *> argv;
    static char arg0[] = "dump_timers";
    argv.push_back(arg0);
    for (char *o : options)
        argv.push_back(o);
    argv.push_back(dumpPath);
    argv.push_back(nullptr);
    lastOpened = nullptr;
    int status = dumpTimersMain(static_cast<int>(argv.size() - 1), argv.data());
    stdout = savedStdout;
    if (lastOpened != nullptr)
        std::fclose(lastOpened);
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    dumpFd = memfd_create("dump", 0);
    if (dumpFd < 0) {
        std::perror("memfd_create");
        std::exit(1);
    }
    std::snprintf(dumpPath, sizeof dumpPath, "/proc/self/fd/%d", dumpFd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(dumpFd, 0) != 0 || (size > 0 && pwrite(dumpFd, data, size, 0) != static_cast<ssize_t>(size)))
        fail("cannot write the dump", "");

    // Capture standard output in memory; the tool closes it at the end, which
    // leaves the whole report in the buffer.
    char *report = nullptr;
    size_t reportSize = 0;
    int status = runTool({}, &report, &reportSize);
    std::string_view out(report, reportSize);
    if (status != 0)
        fail("status is not 0", out);
    if (size < 28) {
        if (out != "Did not find any timers in the file\n")
            fail("a file without a whole record must give exactly the loader's line", out);
    } else {
        checkReport(out, data, size);
    }
    std::free(report);

    char *json = nullptr;
    size_t jsonSize = 0;
    static char jsonOption[] = "--json";
    status = runTool({jsonOption}, &json, &jsonSize);
    checkJson(std::string_view(json, jsonSize), status, data, size);
    std::free(json);
    return 0;
}
