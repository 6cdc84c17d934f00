// The tool end to end: each case is a command line, an input dump built here
// from records, and the exact stdout, stderr and exit status expected.
// Slot addresses differ from run to run; they are checked for spacing and
// masked as ADDR before the report is compared.

#include "end_to_end.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

using dt::Case;
using dt::EndToEnd;
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

// One timer for each owner that no other dump here names, on one list.
const Rec kUx{{100, 10, 0x20000500, 0x00020001, 2, 0x00000000, 0x2000101c}};
const Rec kQo{{101, 11, 0x20000504, 0x00020002, 3, 0x20001000, 0x20001038}};
const Rec kPe1{{102, 12, 0x20000508, 0x00020003, 5, 0x2000101c, 0x20001054}};
const Rec kBry{{103, 13, 0x2000050c, 0x00020004, 6, 0x20001038, 0x20001070}};
const Rec kMalvik{{104, 14, 0x20000510, 0x00020005, 7, 0x20001054, 0x2000108c}};
const Rec kJor{{105, 15, 0x20000514, 0x00020006, 8, 0x20001070, 0x200010a8}};
const Rec kOb{{106, 16, 0x20000518, 0x00020007, 10, 0x2000108c, 0x200010c4}};
const Rec kEk{{107, 17, 0x2000051c, 0x00020008, 11, 0x200010a8, 0x200010e0}};
const Rec kHux{{108, 18, 0x20000520, 0x00020009, 13, 0x200010c4, 0x200010fc}};
const Rec kRol{{109, 19, 0x20000524, 0x0002000a, 14, 0x200010e0, 0x00000000}};
// A record whose mq has no zero byte: cut off after its mesg, it must not
// show as a timer in use.
const Rec kCut{{0x11111111, 0x22222222, 0x21436587, 0x33333333, 1, 0, 0}};

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

// kUx to kRol in slots 0 to 9; slot 10 only partly in the file.
const char kTenOwners[] = R"(Timer 0 [ADDR]: 
  value: 100, interval: 10
  mesg: 00020001, mq: 20000500
  prev: 00000000, next: 2000101c
  owner: 2 (ux)
Timer 1 [ADDR]: 
  value: 101, interval: 11
  mesg: 00020002, mq: 20000504
  prev: 20001000, next: 20001038
  owner: 3 (qo)
Timer 2 [ADDR]: 
  value: 102, interval: 12
  mesg: 00020003, mq: 20000508
  prev: 2000101c, next: 20001054
  owner: 5 (pe1)
Timer 3 [ADDR]: 
  value: 103, interval: 13
  mesg: 00020004, mq: 2000050c
  prev: 20001038, next: 20001070
  owner: 6 (bry)
Timer 4 [ADDR]: 
  value: 104, interval: 14
  mesg: 00020005, mq: 20000510
  prev: 20001054, next: 2000108c
  owner: 7 (malvik)
Timer 5 [ADDR]: 
  value: 105, interval: 15
  mesg: 00020006, mq: 20000514
  prev: 20001070, next: 200010a8
  owner: 8 (jor)
Timer 6 [ADDR]: 
  value: 106, interval: 16
  mesg: 00020007, mq: 20000518
  prev: 2000108c, next: 200010c4
  owner: 10 (ob)
Timer 7 [ADDR]: 
  value: 107, interval: 17
  mesg: 00020008, mq: 2000051c
  prev: 200010a8, next: 200010e0
  owner: 11 (ek)
Timer 8 [ADDR]: 
  value: 108, interval: 18
  mesg: 00020009, mq: 20000520
  prev: 200010c4, next: 200010fc
  owner: 13 (hux)
Timer 9 [ADDR]: 
  value: 109, interval: 19
  mesg: 0002000a, mq: 20000524
  prev: 200010e0, next: 00000000
  owner: 14 (rol)
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

// The whole area of fullArea() but for its last 16 bytes: slot 31 keeps its
// value, interval and mq, and is still not a timer.
const char kFullButLast[] = R"(Timer 0 [ADDR]: 
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
Timer 31 [ADDR]: Unused

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

// Every slot in use: a report of a little over 4 KiB, so that standard
// output is written once while the report is printed and once at its end.
std::string busyArea()
{
    std::string s;
    while (s.size() < 896)
        s += dt::dump({kUx, kQo, kPe1, kBry, kMalvik, kJor, kOb, kEk, kHux, kRol, kA, kB, kF, kD});
    return s.substr(0, 896);
}

TEST_P(EndToEnd, Run)
{
    const Case &c = GetParam();
    if (const char *why = dt::lacks(c.stdoutTo))
        GTEST_SKIP() << why;
    std::string in = dt::writeFile("in_" + std::string(c.name), c.input);
    dt::Run r;
    for (const std::string &a : c.args)
        r.args.push_back(dt::expand(a, in));
    r.out = c.stdoutTo;

    dt::Result got = dt::run(r);
    std::string why;
    EXPECT_EQ(dt::maskAddresses(got.out, &why), dt::expand(c.out, in));
    EXPECT_EQ(why, "");
    EXPECT_EQ(got.err, dt::expand(c.err, in));
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
        // 10 whole records and the first 16 bytes of an 11th, its mq among them.
        Case{"bytes296", {"@in"},
             dt::dump({kUx, kQo, kPe1, kBry, kMalvik, kJor, kOb, kEk, kHux, kRol, kCut}).substr(0, 296),
             kTenOwners, "", 0},
        Case{"bytes884", {"@in"}, fullArea().substr(0, 884), kFullButLast, "", 0},
        Case{"bytes896", {"@in"}, k896, kFull, "", 0},
        Case{"zeros896", {"@in"}, std::string(896, '\0'), kAllUnused, "", 0},
        // Bytes past the area are never read as records.
        Case{"longer", {"@in"}, k896 + dt::dump({kA, kA, kA}), kFull, "", 0},
        Case{"second_arg_ignored", {"@in", "@dir/missing"}, dt::dump({kA}), kOnlyA, "", 0},
        Case{"missing", {"@dir/missing.bin"}, "", "",
             "dump_timers: @dir/missing.bin: No such file or directory\n", 1},
        Case{"directory", {"@dir"}, "", "", "dump_timers: @dir: @EISDIR\n", 1},
        Case{"full_report_to_dev_full", {"@in"}, k896, "",
             "dump_timers: write error: No space left on device\n", 1, Out::DevFull},
        Case{"loader_line_to_dev_full", {"@in"}, "", "",
             "dump_timers: write error: No space left on device\n", 1, Out::DevFull},
        Case{"usage_to_dev_full", {}, "", "", "dump_timers: write error: No space left on device\n",
             1, Out::DevFull},
        Case{"report_to_closed_stdout", {"@in"}, k896, "",
             "dump_timers: write error: Bad file descriptor\n", 1, Out::Closed},
        Case{"usage_to_closed_stdout", {}, "", "", "dump_timers: write error: Bad file descriptor\n",
             1, Out::Closed},
        // The write in mid-report finds no room and fails; the last one fits.
        // The reason is the failed write's, however the last one went.
        Case{"report_to_full_nonblocking_pipe", {"@in"}, busyArea(), "",
             "dump_timers: write error: Resource temporarily unavailable\n", 1, Out::FullPipe}),
    [](const testing::TestParamInfo<Case> &p) { return std::string(p.param.name); });

// The usage text names the program as it was invoked, byte for byte; a
// command line without a name, or with an empty one, gets the tool's own.
struct UsageCase {
    const char *name;
    std::string argv0;  // empty: the tool's path
    bool noArgv;        // exec with no words at all
    std::string shown;  // the name the usage line shows; empty: the tool's path
};

void PrintTo(const UsageCase &c, std::ostream *os) { *os << c.name; }

class Usage : public testing::TestWithParam<UsageCase> {};

TEST_P(Usage, ShowsInvocationName)
{
    const UsageCase &c = GetParam();
    if (const char *why = c.noArgv ? dt::lacks(dt::Need::NoProgramName) : nullptr)
        GTEST_SKIP() << why;
    dt::Run r;
    r.argv0 = c.argv0;
    r.noArgv = c.noArgv;
    dt::Result got = dt::run(r);
    std::string shown = c.shown.empty() ? dt::toolPath() : c.shown;
    EXPECT_EQ(got.out, "Usage: " + shown + " <file>\n"
                       "Total size of timers area = 896 bytes\n");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Usage,
    testing::Values(UsageCase{"tool_path", "", false, ""},
                    UsageCase{"path_with_blank", "./bin/my dump_timers", false, "./bin/my dump_timers"},
                    // A first byte of 0x80 or more is negative where char is signed.
                    UsageCase{"utf8_name", "\xc3\xa9" "ch" "\xc3\xa9" "ancier", false, "\xc3\xa9" "ch" "\xc3\xa9" "ancier"},
                    UsageCase{"no_words", "", true, "dump_timers"}),
    [](const testing::TestParamInfo<UsageCase> &p) { return std::string(p.param.name); });

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
    if (const char *why = dt::lacks(dt::Need::DevStdin))
        GTEST_SKIP() << why;
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
    if (const char *why = dt::lacks(dt::Need::ReadCounters))
        GTEST_SKIP() << why;
    std::string path = dt::writeFile("sparse.bin", sampleDump());
    std::error_code ec;
    std::filesystem::resize_file(dt::fsPath(path), 8ull << 30, ec);
    if (ec)
        GTEST_SKIP() << "this file system holds no 8 GiB sparse file: " << ec.message();
    dt::Run r;
    r.args = {path};
    r.countReads = true;
    dt::Result got = dt::run(r);
    std::filesystem::remove(dt::fsPath(path), ec);
    if (!got.uncounted.empty())
        GTEST_SKIP() << "the tool's reads cannot be counted here: " << got.uncounted;
    expectSampleReport(got);
    // All the process read, program loading (by an emulator too) included:
    // at least the area, and nowhere near the whole file.
    EXPECT_GE(got.rchar, 896ull);
    EXPECT_LT(got.rchar, 16ull << 20);
}

// A device that never ends: 896 zero bytes are a whole area of free slots.
TEST(Input, DevZero)
{
    if (const char *why = dt::lacks(dt::Need::DevZero))
        GTEST_SKIP() << why;
    dt::Run r;
    r.args = {"/dev/zero"};
    dt::Result got = dt::run(r);
    std::string why;
    EXPECT_EQ(dt::maskAddresses(got.out, &why), kAllUnused);
    EXPECT_EQ(why, "");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

// A file name in another script than the host's own: the tool opens it as
// the user named it (on Windows too, whatever the ANSI code page holds).
TEST(Input, NonAsciiFileName)
{
    std::string path = dt::writeFile("\xd0\xb4\xd0\xb0\xd0\xbc\xd0\xbf.bin", sampleDump());  // "дамп.bin"
    dt::Run r;
    r.args = {path};
    expectSampleReport(dt::run(r));
}

// A file the user may not read. Root reads anything, so as root the tool
// runs as the unprivileged user "nobody" (65534) for this case.
TEST(Input, UnreadableFile)
{
    if (const char *why = dt::lacks(dt::Need::OtherUser))
        GTEST_SKIP() << why;
    namespace fs = std::filesystem;
    std::string dir = dt::scratchDir();
    std::string path = dt::writeFile("locked.bin", sampleDump());
    fs::permissions(dt::fsPath(path), fs::perms::none);
    dt::Run r;
    r.args = {path};
    if (dt::runningAsRoot()) {
        // nobody must reach the tool and the file: both live in the scratch folder.
        const fs::perms rwxr_xr_x = fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec;
        fs::permissions(dt::fsPath(dir), rwxr_xr_x);
        std::string tool = dt::writeFile("dump_timers", dt::readFile(dt::toolPath()));
        fs::permissions(dt::fsPath(tool), rwxr_xr_x);
        r.tool = tool;
        r.uid = 65534;
    }
    dt::Result got = dt::run(r);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "dump_timers: " + path + ": Permission denied\n");
    EXPECT_EQ(got.status, 1);
}

// A reader that has closed its end of the pipe before the report is written
// (dump_timers d.bin | head -2, and the report is long): the run ends with
// nothing on standard error. On Unix SIGPIPE ends it; where there is none,
// status 1.
TEST(Output, ReaderGone)
{
    dt::Run r;
    r.args = {DUMP_TIMERS_SOURCE_DIR "/examples/sample.bin"};
    r.out = Out::ReaderGone;
    dt::Result got = dt::run(r);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, dt::kReaderGoneStatus);
}

}  // namespace
