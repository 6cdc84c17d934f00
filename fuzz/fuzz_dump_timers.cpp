// libFuzzer target: any bytes, 0 to a few thousand, as a dump file through the
// tool's own main, with the report captured and checked for what must hold on
// every input:
//   - the run ends normally with status 0;
//   - under 28 bytes: exactly the loader's line;
//   - otherwise: 32 slot headings in order, their addresses 28 apart, each
//     followed by "Unused" or by the four field lines, then one empty line.
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
#include <sys/mman.h>
#include <unistd.h>

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

[[noreturn]] void fail(const char *what, std::string_view report)
{
    std::fprintf(stderr, "fuzz: %s\n--- report ---\n%.*s--- end ---\n", what,
                 static_cast<int>(report.size()), report.data());
    std::abort();
}

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// "NAME: " then an optional '-' and 1 to 10 digits, or exactly 8 lowercase hex digits.
bool field(std::string_view &s, std::string_view name, bool hex)
{
    if (!startsWith(s, name))
        return false;
    s.remove_prefix(name.size());
    size_t n = 0;
    if (hex) {
        while (n < s.size() && ((s[n] >= '0' && s[n] <= '9') || (s[n] >= 'a' && s[n] <= 'f')))
            n++;
        if (n != 8)
            return false;
    } else {
        if (!s.empty() && s[0] == '-')
            s.remove_prefix(1);
        while (n < s.size() && s[n] >= '0' && s[n] <= '9')
            n++;
        if (n < 1 || n > 10)
            return false;
    }
    s.remove_prefix(n);
    return true;
}

bool line(std::string_view &s, std::string_view text)
{
    if (!startsWith(s, text))
        return false;
    s.remove_prefix(text.size());
    return true;
}

void checkReport(std::string_view report)
{
    std::string_view s = report;
    unsigned long long base = 0;
    for (int i = 0; i < 32; i++) {
        std::string heading = "Timer " + std::to_string(i) + " [";
        if (!line(s, heading))
            fail("heading missing or out of order", report);
        size_t n = 0;
        while (n < s.size() && ((s[n] >= '0' && s[n] <= '9') || (s[n] >= 'a' && s[n] <= 'f')))
            n++;
        if (n < 8 || n > 16)
            fail("slot address not 8 to 16 lowercase hex digits", report);
        unsigned long long addr = std::strtoull(std::string(s.substr(0, n)).c_str(), nullptr, 16);
        if (i == 0)
            base = addr;
        else if (addr != base + 28ull * static_cast<unsigned>(i))
            fail("slot addresses not 28 apart", report);
        s.remove_prefix(n);
        if (line(s, "]: Unused\n"))
            continue;
        if (!line(s, "]: \n"))
            fail("heading ends in neither Unused nor a newline", report);
        if (!(field(s, "  value: ", false) && field(s, ", interval: ", false) && line(s, "\n") &&
              field(s, "  mesg: ", true) && field(s, ", mq: ", true) && line(s, "\n") &&
              field(s, "  prev: ", true) && field(s, ", next: ", true) && line(s, "\n") &&
              field(s, "  owner: ", false) && line(s, " (")))
            fail("malformed field lines", report);
        size_t close = s.find(")\n");
        if (close == std::string_view::npos || close == 0 || close > 16)
            fail("malformed owner name", report);
        s.remove_prefix(close + 2);
    }
    if (s != "\n")
        fail("report does not end in exactly one empty line", report);
}

int dumpFd = -1;
char dumpPath[64];

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
    FILE *savedStdout = stdout;
    char *report = nullptr;
    size_t reportSize = 0;
    stdout = open_memstream(&report, &reportSize);
    if (stdout == nullptr)
        fail("open_memstream failed", "");

    char arg0[] = "dump_timers";
    char *argv[] = {arg0, dumpPath, nullptr};
    lastOpened = nullptr;
    int status = dumpTimersMain(2, argv);
    stdout = savedStdout;
    if (lastOpened != nullptr)
        std::fclose(lastOpened);

    std::string_view out(report, reportSize);
    if (status != 0)
        fail("status is not 0", out);
    if (size < 28) {
        if (out != "Did not find any timers in the file\n")
            fail("a file without a whole record must give exactly the loader's line", out);
    } else {
        checkReport(out);
    }
    std::free(report);
    return 0;
}
