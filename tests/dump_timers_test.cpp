// The tool end to end: each case is a command line, an input dump built here
// from records, and the exact stdout, stderr and exit status expected.
// Slot addresses differ from run to run; they are checked for spacing and
// masked as ADDR before the report is compared.

#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using dt::Out;
using dt::Rec;

namespace {

// value, interval, mq, mesg, owner, prev, next
const Rec kA{{1000, 250, 0x20000400, 0x00010003, 9, 0x00000000, 0x2000101c}};
const Rec kB{{0xffffffff, 0x80000000, 0x20000440, 0xfffffffe, 12, 0x20001000, 0x00000000}};
const Rec kFree{{77, 5, 0, 0x1234, 3, 0x20001000, 0x20001038}};  // mq 0: free
const Rec kC{{0x7fffffff, 0, 0x0000abcd, 0x80000000, 16, 0xdeadbeef, 0x00000001}};
const Rec kD{{2, 0x01020304, 0xa0b0c0d0, 0x0a0b0c0d, 0xffffffff, 0, 0}};
const Rec kE{{0, 0, 1, 0, 0, 0, 0}};
const Rec kF{{60000, 60000, 0x20000480, 0x7fffffff, 15, 0x2000101c, 0x20001000}};

const char kLoaderLine[] = "Did not find any timers in the file\n";

// One record in slot 0, every other slot free.
const char kOnlyA[] = R"(Timer 0 [ADDR]: 
  value: 1000, interval: 250
  mesg: 00010003, mq: 20000400
  prev: 00000000, next: 2000101c
  owner: 9 (ga)
Timer 1 [ADDR]: Unused
Timer 2 [ADDR]: Unused
Timer 3 [ADDR]: Unused
Timer 4 [ADDR]: Unused
Timer 5 [ADDR]: Unused
Timer 6 [ADDR]: Unused
Timer 7 [ADDR]: Unused
Timer 8 [ADDR]: Unused
Timer 9 [ADDR]: Unused
Timer 10 [ADDR]: Unused
Timer 11 [ADDR]: Unused
Timer 12 [ADDR]: Unused
Timer 13 [ADDR]: Unused
Timer 14 [ADDR]: Unused
Timer 15 [ADDR]: Unused
Timer 16 [ADDR]: Unused
Timer 17 [ADDR]: Unused
Timer 18 [ADDR]: Unused
Timer 19 [ADDR]: Unused
Timer 20 [ADDR]: Unused
Timer 21 [ADDR]: Unused
Timer 22 [ADDR]: Unused
Timer 23 [ADDR]: Unused
Timer 24 [ADDR]: Unused
Timer 25 [ADDR]: Unused
Timer 26 [ADDR]: Unused
Timer 27 [ADDR]: Unused
Timer 28 [ADDR]: Unused
Timer 29 [ADDR]: Unused
Timer 30 [ADDR]: Unused
Timer 31 [ADDR]: Unused

)";

// kA, kB, kC in slots 0 to 2; slot 3 only partly in the file.
const char kThreeAndAHalf[] = R"(Timer 0 [ADDR]: 
  value: 1000, interval: 250
  mesg: 00010003, mq: 20000400
  prev: 00000000, next: 2000101c
  owner: 9 (ga)
Timer 1 [ADDR]: 
  value: -1, interval: -2147483648
  mesg: fffffffe, mq: 20000440
  prev: 20001000, next: 00000000
  owner: 12 (ga)
Timer 2 [ADDR]: 
  value: 2147483647, interval: 0
  mesg: 80000000, mq: 0000abcd
  prev: deadbeef, next: 00000001
  owner: 16 (unknown)
Timer 3 [ADDR]: Unused
Timer 4 [ADDR]: Unused
Timer 5 [ADDR]: Unused
Timer 6 [ADDR]: Unused
Timer 7 [ADDR]: Unused
Timer 8 [ADDR]: Unused
Timer 9 [ADDR]: Unused
Timer 10 [ADDR]: Unused
Timer 11 [ADDR]: Unused
Timer 12 [ADDR]: Unused
Timer 13 [ADDR]: Unused
Timer 14 [ADDR]: Unused
Timer 15 [ADDR]: Unused
Timer 16 [ADDR]: Unused
Timer 17 [ADDR]: Unused
Timer 18 [ADDR]: Unused
Timer 19 [ADDR]: Unused
Timer 20 [ADDR]: Unused
Timer 21 [ADDR]: Unused
Timer 22 [ADDR]: Unused
Timer 23 [ADDR]: Unused
Timer 24 [ADDR]: Unused
Timer 25 [ADDR]: Unused
Timer 26 [ADDR]: Unused
Timer 27 [ADDR]: Unused
Timer 28 [ADDR]: Unused
Timer 29 [ADDR]: Unused
Timer 30 [ADDR]: Unused
Timer 31 [ADDR]: Unused

)";

// The whole area: see fullArea() below.
const char kFull[] = R"(Timer 0 [ADDR]: 
  value: 1000, interval: 250
  mesg: 00010003, mq: 20000400
  prev: 00000000, next: 2000101c
  owner: 9 (ga)
Timer 1 [ADDR]: 
  value: -1, interval: -2147483648
  mesg: fffffffe, mq: 20000440
  prev: 20001000, next: 00000000
  owner: 12 (ga)
Timer 2 [ADDR]: Unused
Timer 3 [ADDR]: 
  value: 0, interval: 0
  mesg: 00000000, mq: 00000001
  prev: 00000000, next: 00000000
  owner: 0 (tarmin)
Timer 4 [ADDR]: Unused
Timer 5 [ADDR]: Unused
Timer 6 [ADDR]: Unused
Timer 7 [ADDR]: 
  value: 2147483647, interval: 0
  mesg: 80000000, mq: 0000abcd
  prev: deadbeef, next: 00000001
  owner: 16 (unknown)
Timer 8 [ADDR]: Unused
Timer 9 [ADDR]: Unused
Timer 10 [ADDR]: Unused
Timer 11 [ADDR]: Unused
Timer 12 [ADDR]: Unused
Timer 13 [ADDR]: Unused
Timer 14 [ADDR]: Unused
Timer 15 [ADDR]: Unused
Timer 16 [ADDR]: Unused
Timer 17 [ADDR]: Unused
Timer 18 [ADDR]: Unused
Timer 19 [ADDR]: Unused
Timer 20 [ADDR]: Unused
Timer 21 [ADDR]: Unused
Timer 22 [ADDR]: Unused
Timer 23 [ADDR]: Unused
Timer 24 [ADDR]: Unused
Timer 25 [ADDR]: Unused
Timer 26 [ADDR]: Unused
Timer 27 [ADDR]: Unused
Timer 28 [ADDR]: Unused
Timer 29 [ADDR]: Unused
Timer 30 [ADDR]: 
  value: 60000, interval: 60000
  mesg: 7fffffff, mq: 20000480
  prev: 2000101c, next: 20001000
  owner: 15 (cerlund)
Timer 31 [ADDR]: 
  value: 2, interval: 16909060
  mesg: 0a0b0c0d, mq: a0b0c0d0
  prev: 00000000, next: 00000000
  owner: -1 (unknown)

)";

const char kAllUnused[] = R"(Timer 0 [ADDR]: Unused
Timer 1 [ADDR]: Unused
Timer 2 [ADDR]: Unused
Timer 3 [ADDR]: Unused
Timer 4 [ADDR]: Unused
Timer 5 [ADDR]: Unused
Timer 6 [ADDR]: Unused
Timer 7 [ADDR]: Unused
Timer 8 [ADDR]: Unused
Timer 9 [ADDR]: Unused
Timer 10 [ADDR]: Unused
Timer 11 [ADDR]: Unused
Timer 12 [ADDR]: Unused
Timer 13 [ADDR]: Unused
Timer 14 [ADDR]: Unused
Timer 15 [ADDR]: Unused
Timer 16 [ADDR]: Unused
Timer 17 [ADDR]: Unused
Timer 18 [ADDR]: Unused
Timer 19 [ADDR]: Unused
Timer 20 [ADDR]: Unused
Timer 21 [ADDR]: Unused
Timer 22 [ADDR]: Unused
Timer 23 [ADDR]: Unused
Timer 24 [ADDR]: Unused
Timer 25 [ADDR]: Unused
Timer 26 [ADDR]: Unused
Timer 27 [ADDR]: Unused
Timer 28 [ADDR]: Unused
Timer 29 [ADDR]: Unused
Timer 30 [ADDR]: Unused
Timer 31 [ADDR]: Unused

)";

std::string fullArea()
{
    return dt::area({{0, kA}, {1, kB}, {2, kFree}, {3, kE}, {7, kC}, {30, kF}, {31, kD}});
}

struct Case {
    const char *name;
    std::vector<std::string> args;  // "@in": the input file; "@dir": the scratch folder
    std::string input;
    std::string out;  // expected stdout, addresses masked, and stderr;
    std::string err;  // "@in" and "@dir" expand in both as in args
    int status;
    Out stdoutTo = Out::File;
};

std::string expand(std::string s, const std::string &in)
{
    for (auto [key, value] : {std::pair<std::string, std::string>{"@in", in}, {"@dir", dt::scratchDir()}})
        for (size_t at; (at = s.find(key)) != std::string::npos;)
            s.replace(at, key.size(), value);
    return s;
}

// gtest prints a case by its name, not as raw bytes.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class EndToEnd : public testing::TestWithParam<Case> {};

TEST_P(EndToEnd, Run)
{
    const Case &c = GetParam();
    std::string in = dt::writeFile("in_" + std::string(c.name), c.input);
    dt::Run r;
    for (const std::string &a : c.args)
        r.args.push_back(expand(a, in));
    r.out = c.stdoutTo;

    dt::Result got = dt::run(r);
    std::string why;
    EXPECT_EQ(dt::maskAddresses(got.out, &why), expand(c.out, in));
    EXPECT_EQ(why, "");
    EXPECT_EQ(got.err, expand(c.err, in));
    EXPECT_EQ(got.status, c.status);
}

const std::string k896 = fullArea();

INSTANTIATE_TEST_SUITE_P(
    Table, EndToEnd,
    testing::Values(
        Case{"empty", {"@in"}, "", kLoaderLine, "", 0},
        Case{"bytes27", {"@in"}, dt::dump({kA}).substr(0, 27), kLoaderLine, "", 0},
        Case{"bytes28", {"@in"}, dt::dump({kA}), kOnlyA, "", 0},
        // 3 whole records and 16 bytes of a 4th: the partial one is not shown.
        Case{"bytes100", {"@in"}, dt::dump({kA, kB, kC, kF}).substr(0, 100), kThreeAndAHalf, "", 0},
        Case{"bytes896", {"@in"}, k896, kFull, "", 0},
        Case{"zeros896", {"@in"}, std::string(896, '\0'), kAllUnused, "", 0},
        // Bytes past the area are never read as records.
        Case{"longer", {"@in"}, k896 + dt::dump({kA, kA, kA}), kFull, "", 0},
        Case{"second_arg_ignored", {"@in", "@dir/missing"}, dt::dump({kA}), kOnlyA, "", 0},
        Case{"missing", {"@dir/missing.bin"}, "", "",
             "dump_timers: @dir/missing.bin: No such file or directory\n", 1},
        Case{"directory", {"@dir"}, "", "", "dump_timers: @dir: Is a directory\n", 1},
        Case{"full_report_to_dev_full", {"@in"}, k896, "",
             "dump_timers: write error: No space left on device\n", 1, Out::DevFull},
        Case{"loader_line_to_dev_full", {"@in"}, "", "",
             "dump_timers: write error: No space left on device\n", 1, Out::DevFull},
        Case{"usage_to_dev_full", {}, "", "", "dump_timers: write error: No space left on device\n",
             1, Out::DevFull},
        Case{"report_to_closed_stdout", {"@in"}, k896, "",
             "dump_timers: write error: Bad file descriptor\n", 1, Out::Closed},
        Case{"usage_to_closed_stdout", {}, "", "", "dump_timers: write error: Bad file descriptor\n",
             1, Out::Closed}),
    [](const testing::TestParamInfo<Case> &p) { return std::string(p.param.name); });

// The usage text names the program as it was invoked, unchanged.
TEST(Usage, ShowsInvocationName)
{
    dt::Run r;
    r.argv0 = "./bin/my dump_timers";
    dt::Result got = dt::run(r);
    EXPECT_EQ(got.out, "Usage: ./bin/my dump_timers <file>\n"
                       "Total size of timers area = 896 bytes\n");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

// A command line without even a program name still gets a usable line.
TEST(Usage, EmptyCommandLine)
{
    if (dt::emulated())
        GTEST_SKIP() << "the emulator always passes the guest a program name";
    dt::Run r;
    r.noArgv = true;
    dt::Result got = dt::run(r);
    EXPECT_EQ(got.out, "Usage: dump_timers <file>\n"
                       "Total size of timers area = 896 bytes\n");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

std::string sampleDump() { return dt::readFile(DUMP_TIMERS_SOURCE_DIR "/examples/sample.bin"); }
std::string sampleReport() { return dt::readFile(DUMP_TIMERS_SOURCE_DIR "/examples/sample.golden"); }

void expectSampleReport(const dt::Result &got)
{
    std::string why;
    EXPECT_EQ(dt::maskAddresses(got.out, &why), sampleReport());
    EXPECT_EQ(why, "");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

// The bundled sample dump prints the report kept beside it.
TEST(Sample, MatchesGolden)
{
    dt::Run r;
    r.args = {DUMP_TIMERS_SOURCE_DIR "/examples/sample.bin"};
    expectSampleReport(dt::run(r));
}

// Where the dump comes from and what surrounds the run: the tool must read a
// dump whole however it arrives, read no more than it needs, and say why it
// could not read one.

// A pipe delivers the dump in pieces that straddle records, with pauses in
// between: the tool waits for all 896 bytes, as it reads them from a file.
TEST(Input, PipeInSmallPiecesWithPauses)
{
    std::string bytes = sampleDump();
    ASSERT_EQ(bytes.size(), 896u);
    dt::Run r;
    r.args = {"/dev/stdin"};
    for (size_t at = 0; at < bytes.size(); at += 100)
        r.stdinPieces.push_back(bytes.substr(at, 100));
    r.pauseMs = 30;
    expectSampleReport(dt::run(r));
}

// An 8 GiB file whose first 896 bytes are the dump and the rest a hole: the
// tool reads the area and stops, it does not read on to the end.
TEST(Input, HugeSparseFileReadOnlyAtItsHead)
{
    std::string path = dt::writeFile("sparse.bin", sampleDump());
    if (truncate(path.c_str(), 8ll << 30) != 0)
        GTEST_SKIP() << "this file system holds no 8 GiB sparse file: " << std::strerror(errno);
    dt::Run r;
    r.args = {path};
    dt::Result got = dt::run(r);
    std::remove(path.c_str());
    expectSampleReport(got);
    // All the process read, program loading (by an emulator too) included:
    // at least the area, and nowhere near the whole file.
    EXPECT_GE(got.rchar, 896ull);
    EXPECT_LT(got.rchar, 16ull << 20);
}

// A device that never ends: 896 zero bytes are a whole area of free slots.
TEST(Input, DevZero)
{
    dt::Run r;
    r.args = {"/dev/zero"};
    dt::Result got = dt::run(r);
    std::string why;
    EXPECT_EQ(dt::maskAddresses(got.out, &why), kAllUnused);
    EXPECT_EQ(why, "");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

// A file the user may not read. Root reads anything, so as root the tool
// runs as the unprivileged user "nobody" (65534) for this case.
TEST(Input, UnreadableFile)
{
    std::string dir = dt::scratchDir();
    std::string path = dt::writeFile("locked.bin", sampleDump());
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    dt::Run r;
    r.args = {path};
    if (geteuid() == 0) {
        // nobody must reach the tool and the file: both live in the scratch folder.
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        std::string tool = dt::writeFile("dump_timers", dt::readFile(dt::toolPath()));
        ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
        r.tool = tool;
        r.uid = 65534;
    }
    dt::Result got = dt::run(r);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "dump_timers: " + path + ": Permission denied\n");
    EXPECT_EQ(got.status, 1);
}

}  // namespace
