// The options end to end: the views of the sample and of a damaged copy of
// it, the command line's errors, --offset, --base, and the JSON and Graphviz
// outputs read back by the real tools, nlohmann's parser and dot.

#include "end_to_end.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if DUMP_TIMERS_HAVE_JSON
#include <nlohmann/json.hpp>
#endif

using dt::Case;
using dt::EndToEnd;

namespace {

std::string sampleDump() { return dt::readFile(DUMP_TIMERS_SOURCE_DIR "/examples/sample.bin"); }
std::string sampleReport() { return dt::readFile(DUMP_TIMERS_SOURCE_DIR "/examples/sample.golden"); }

// Word w (0 value ... 6 next) of slot k set to v, big-endian.
std::string patched(std::string dump, int k, int w, std::uint32_t v)
{
    for (int b = 0; b < 4; b++)
        dump[static_cast<size_t>(k * 28 + w * 4 + b)] = static_cast<char>((v >> (24 - 8 * b)) & 0xffu);
    return dump;
}

// The sample with three links broken: 13's prev names 20 rather than 6,
// 20's next leads past the table, 9's next names the free slot 4.
std::string damagedDump()
{
    std::string d = patched(sampleDump(), 13, 5, 0x20001230);
    d = patched(d, 20, 6, 0x20002000);
    return patched(d, 9, 6, 0x20001070);
}

const char kSampleLists[] = R"(Base 20001000, inferred from 5 linked pairs

List 1: 6 timers, head slot 3
  slot       value    interval  owner             mq        mesg
     3         120           0  1 (gorvand)       20000400  00010001
     0         350        1000  9 (ga)            20000440  00010002
     6        1000        1000  12 (ga)           20000480  00020001
    13        2500           0  4 (pe0)           200004c0  ffffffff
     1       60000       60000  0 (tarmin)        20000400  00010003
     9 -2147483392           0  15 (cerlund)      20000500  00030001

List 2: 1 timer, head slot 20
  slot       value    interval  owner             mq        mesg
    20          -1          10  23 (unknown)      20000540  00000007

No problems found.
)";

const char kDamagedLists[] = R"(Base 20001000, inferred from 4 linked pairs

List 1: 6 timers, head slot 3
  slot       value    interval  owner             mq        mesg
     3         120           0  1 (gorvand)       20000400  00010001
     0         350        1000  9 (ga)            20000440  00010002
     6        1000        1000  12 (ga)           20000480  00020001
    13        2500           0  4 (pe0)           200004c0  ffffffff
     1       60000       60000  0 (tarmin)        20000400  00010003
     9 -2147483392           0  15 (cerlund)      20000500  00030001

List 2: 1 timer, head slot 20
  slot       value    interval  owner             mq        mesg
    20          -1          10  23 (unknown)      20000540  00000007

4 problems found:
  slot 6: mismatch: next 2000116c is slot 13, whose prev is 20001230 (slot 20)
  slot 9: free: next 20001070 is slot 4, which is free
  slot 13: mismatch: prev 20001230 is slot 20, whose next is 20002000 (outside the table)
  slot 20: outside: next 20002000 is outside the table, which runs from 20001000 to 2000137f
)";

// Under a base given by hand, the sample's links all miss the table.
const char kSampleListsWrongBase[] = R"(Base 30000000, given with --base

List 1: 1 timer, head slot 3
  slot       value    interval  owner             mq        mesg
     3         120           0  1 (gorvand)       20000400  00010001

List 2: 1 timer, head slot 20
  slot       value    interval  owner             mq        mesg
    20          -1          10  23 (unknown)      20000540  00000007

15 problems found:
  slot 0: outside: prev 20001054 is outside the table, which runs from 30000000 to 3000037f
  slot 0: outside: next 200010a8 is outside the table, which runs from 30000000 to 3000037f
  slot 0: unlisted: in use, but no walk of next links from a list's head (a timer whose prev is 0) reaches it
  slot 1: outside: prev 2000116c is outside the table, which runs from 30000000 to 3000037f
  slot 1: outside: next 200010fc is outside the table, which runs from 30000000 to 3000037f
  slot 1: unlisted: in use, but no walk of next links from a list's head (a timer whose prev is 0) reaches it
  slot 3: outside: next 20001000 is outside the table, which runs from 30000000 to 3000037f
  slot 6: outside: prev 20001000 is outside the table, which runs from 30000000 to 3000037f
  slot 6: outside: next 2000116c is outside the table, which runs from 30000000 to 3000037f
  slot 6: unlisted: in use, but no walk of next links from a list's head (a timer whose prev is 0) reaches it
  slot 9: outside: prev 2000101c is outside the table, which runs from 30000000 to 3000037f
  slot 9: unlisted: in use, but no walk of next links from a list's head (a timer whose prev is 0) reaches it
  slot 13: outside: prev 200010a8 is outside the table, which runs from 30000000 to 3000037f
  slot 13: outside: next 2000101c is outside the table, which runs from 30000000 to 3000037f
  slot 13: unlisted: in use, but no walk of next links from a list's head (a timer whose prev is 0) reaches it
)";

const char kLoaderLine[] = "Did not find any timers in the file\n";
const char kHint[] = "Try 'dump_timers --help' for more information.\n";

const char kHelp[] = R"(Usage: @tool [OPTION]... [--] FILE
Print the timer table of a ZET target from a raw dump: 32 records of 28 bytes,
896 bytes of big-endian words. With no option, a report of all 32 slots.

  --lists        the timer lists in link order, then the problems found
  --json         the whole table, its lists and problems as one JSON object
  --dot          the lists as a Graphviz graph
  --offset N     the timer area starts N bytes into FILE (decimal, or hex with 0x)
  --base ADDR    the target address of slot 0 (hex, 0x optional); default: inferred
  --help         print this help and exit
  --version      print the version and exit

Options come before FILE; the words after it are ignored. A FILE whose name
begins with '-' is given as ./-x or after --.
Exit status: 0 done, 1 error, 2 bad command line, 3 a view found problems.
)";

std::string bad(const std::string &line) { return "dump_timers: " + line + "\n" + kHint; }

const std::string kSample = sampleDump();
const std::string kJunk100(100, '\x5a');

INSTANTIATE_TEST_SUITE_P(
    Views, EndToEnd,
    testing::Values(
        Case{"lists_sample", {"--lists", "@in"}, kSample, kSampleLists, "", 0},
        Case{"lists_damaged", {"--lists", "@in"}, damagedDump(), kDamagedLists, "", 3},
        Case{"lists_base_given", {"--base", "30000000", "--lists", "@in"}, kSample,
             kSampleListsWrongBase, "", 3},
        Case{"lists_base_given_with_0x", {"--base=0x30000000", "--lists", "@in"}, kSample,
             kSampleListsWrongBase, "", 3},
        // Without a whole record, --lists says what the report says.
        Case{"lists_empty", {"--lists", "@in"}, "", kLoaderLine, "", 0},
        Case{"dot_empty", {"--dot", "@in"}, kSample.substr(0, 27), "digraph timers {\n}\n", "", 0},
        // Options come before FILE: after it they are ignored words.
        Case{"options_after_file_ignored", {"@in", "--json"}, kSample, sampleReport(), "", 0},
        Case{"double_dash_ends_options", {"--", "@in"}, kSample, sampleReport(), "", 0},
        Case{"same_view_twice", {"--lists", "--lists", "@in"}, kSample, kSampleLists, "", 0},
        // --base changes only the views: the report shows the tool's own addresses.
        Case{"report_ignores_base", {"--base", "1000", "@in"}, kSample, sampleReport(), "", 0},
        // The area starts 100 bytes in: decimal, hex, and with '='.
        Case{"offset_decimal", {"--offset", "100", "@in"}, kJunk100 + kSample, sampleReport(), "", 0},
        Case{"offset_hex", {"--offset=0x64", "--lists", "@in"}, kJunk100 + kSample, kSampleLists, "", 0},
        Case{"offset_to_the_end", {"--offset", "996", "@in"}, kJunk100 + kSample, kLoaderLine, "", 0},
        Case{"offset_past_the_end", {"--offset", "5000", "--lists", "@in"}, kSample, kLoaderLine, "", 0},
        Case{"version", {"--version"}, "", "dump_timers " DUMP_TIMERS_VERSION "\n", "", 0},
        Case{"help", {"--help"}, "", kHelp, "", 0},
        Case{"help_before_bad_file", {"--help", "@dir/missing"}, "", kHelp, "", 0},
        Case{"file_missing_with_view", {"--json", "@dir/missing.bin"}, "", "",
             "dump_timers: @dir/missing.bin: No such file or directory\n", 1},
        // Errors outrank problems: a view that cannot be read or written ends with 1.
        Case{"view_of_directory", {"--json", "@dir"}, "", "", "dump_timers: @dir: @EISDIR\n", 1},
        Case{"view_with_problems_to_dev_full", {"--lists", "@in"}, damagedDump(), "",
             "dump_timers: write error: No space left on device\n", 1, dt::Out::DevFull},
        // A lone '-' is a file's name, here of none.
        Case{"dash_is_a_file_name", {"-"}, "", "", "dump_timers: -: No such file or directory\n", 1},

        // Bad command lines: one line and the hint on stderr, nothing on stdout, status 2.
        Case{"unknown_long_option", {"--frob", "@in"}, kSample, "", bad("unknown option '--frob'"), 2},
        Case{"unknown_short_option", {"-x"}, kSample, "", bad("unknown option '-x'"), 2},
        Case{"prefix_is_no_option", {"--js", "@in"}, kSample, "", bad("unknown option '--js'"), 2},
        Case{"two_views", {"--json", "--lists", "@in"}, kSample, "",
             bad("only one of --lists, --json and --dot may be given"), 2},
        Case{"view_with_value", {"--dot=yes", "@in"}, kSample, "",
             bad("option takes no value: '--dot=yes'"), 2},
        Case{"offset_without_value", {"--offset"}, kSample, "", bad("option needs a value: '--offset'"), 2},
        Case{"base_without_value", {"--base"}, kSample, "", bad("option needs a value: '--base'"), 2},
        Case{"offset_empty", {"--offset=", "@in"}, kSample, "",
             bad("invalid offset '': not a decimal number, nor hexadecimal after 0x"), 2},
        Case{"offset_malformed", {"--offset", "12k", "@in"}, kSample, "",
             bad("invalid offset '12k': not a decimal number, nor hexadecimal after 0x"), 2},
        Case{"offset_bare_0x", {"--offset", "0x", "@in"}, kSample, "",
             bad("invalid offset '0x': not a hexadecimal number"), 2},
        Case{"offset_negative", {"--offset", "-4", "@in"}, kSample, "", bad("invalid offset '-4': negative"), 2},
        Case{"offset_too_large", {"--offset", "9223372036854775808", "@in"}, kSample, "",
             bad("invalid offset '9223372036854775808': too large"), 2},
        Case{"base_malformed", {"--base", "2000g000", "@in"}, kSample, "",
             bad("invalid base '2000g000': not a hexadecimal number"), 2},
        Case{"base_zero", {"--base=0", "--json", "@in"}, kSample, "",
             bad("invalid base '0': slot 0 cannot lie at address 0, where a link to it would "
                 "read as a list's end"), 2},
        Case{"base_past_2_32", {"--base", "fffffc81", "--json", "@in"}, kSample, "",
             bad("invalid base 'fffffc81': the 896-byte table would pass 2^32 (the highest base "
                 "is fffffc80)"), 2},
        Case{"base_far_past_2_32", {"--base", "0x100000000", "@in"}, kSample, "",
             bad("invalid base '0x100000000': the 896-byte table would pass 2^32 (the highest base "
                 "is fffffc80)"), 2},
        Case{"no_file_after_options", {"--lists"}, "", "", bad("no FILE after the options"), 2},
        Case{"no_file_after_double_dash", {"--json", "--"}, "", "", bad("no FILE after the options"), 2}),
    [](const testing::TestParamInfo<Case> &p) { return std::string(p.param.name); });

// --offset through a pipe, which cannot seek: the bytes before the area are
// read and dropped, in pieces that straddle the offset.
TEST(Offset, ThroughPipe)
{
    if (const char *why = dt::lacks(dt::Need::DevStdin))
        GTEST_SKIP() << why;
    std::string bytes = std::string(5000, '\x01') + sampleDump();
    dt::Run r;
    r.args = {"--offset", "5000", "--lists", "/dev/stdin"};
    for (size_t at = 0; at < bytes.size(); at += 700)
        r.stdinPieces.push_back(bytes.substr(at, 700));
    r.pauseMs = 5;
    dt::Result got = dt::run(r);
    EXPECT_EQ(got.out, kSampleLists);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

TEST(Offset, PipeEndsBeforeIt)
{
    if (const char *why = dt::lacks(dt::Need::DevStdin))
        GTEST_SKIP() << why;
    dt::Run r;
    r.args = {"--offset", "5000", "/dev/stdin"};
    r.stdinPieces = {sampleDump()};
    dt::Result got = dt::run(r);
    EXPECT_EQ(got.out, kLoaderLine);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

#if DUMP_TIMERS_HAVE_JSON
using Json = nlohmann::ordered_json;

Json runJson(const std::string &dump, dt::Result *got)
{
    dt::Run r;
    r.args = {"--json", dt::writeFile("json.bin", dump)};
    *got = dt::run(r);
    EXPECT_EQ(got->err, "");
    return Json::parse(got->out);  // throws, and fails the test, unless it is JSON
}

TEST(Json, Sample)
{
    dt::Result got;
    Json j = runJson(sampleDump(), &got);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(j["version"], 1);
    EXPECT_EQ(j["records"], 32);
    EXPECT_EQ(j["base"], "0x20001000");
    EXPECT_EQ(j["base_from"], "links");
    EXPECT_EQ(j["lists"], Json::parse("[[3, 0, 6, 13, 1, 9], [20]]"));
    EXPECT_EQ(j["problems"], Json::array());

    std::vector<std::string> keys;
    for (const auto &item : j.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"version", "records", "base", "base_from", "timers",
                                              "lists", "problems"}));

    ASSERT_EQ(j["timers"].size(), 32u);
    for (int k = 0; k < 32; k++)
        EXPECT_EQ(j["timers"][static_cast<size_t>(k)]["slot"], k);
    // Whole objects, keys in order: a timer in use, one past 2^31 with a
    // known owner, one whose owner the table lacks, and a free slot with
    // stale fields.
    EXPECT_EQ(j["timers"][0].dump(),
              R"({"slot":0,"used":true,"value":350,"interval":1000,"mesg":"0x00010002","mq":"0x20000440",)"
              R"("owner":9,"owner_name":"ga","prev":"0x20001054","next":"0x200010a8","prev_slot":3,"next_slot":6})");
    EXPECT_EQ(j["timers"][9].dump(),
              R"({"slot":9,"used":true,"value":-2147483392,"interval":0,"mesg":"0x00030001","mq":"0x20000500",)"
              R"("owner":15,"owner_name":"cerlund","prev":"0x2000101c","next":"0x00000000","prev_slot":1,"next_slot":null})");
    EXPECT_EQ(j["timers"][13]["mesg"], "0xffffffff");
    EXPECT_EQ(j["timers"][20].dump(),
              R"({"slot":20,"used":true,"value":-1,"interval":10,"mesg":"0x00000007","mq":"0x20000540",)"
              R"("owner":23,"owner_name":null,"prev":"0x00000000","next":"0x00000000","prev_slot":null,"next_slot":null})");
    EXPECT_EQ(j["timers"][4].dump(), R"({"slot":4,"used":false})");
    EXPECT_TRUE(j["timers"][0]["value"].is_number_integer());
}

TEST(Json, Damaged)
{
    dt::Result got;
    Json j = runJson(damagedDump(), &got);
    EXPECT_EQ(got.status, 3);
    EXPECT_EQ(j["base"], "0x20001000");
    EXPECT_EQ(j["lists"], Json::parse("[[3, 0, 6, 13, 1, 9], [20]]"));
    // A link to a free slot still names it; one past the table names none.
    EXPECT_EQ(j["timers"][9]["next_slot"], 4);
    EXPECT_EQ(j["timers"][20]["next_slot"], nullptr);
    EXPECT_EQ(j["problems"], Json::parse(R"json([
        {"kind": "mismatch", "slot": 6, "link": "next",
         "detail": "next 2000116c is slot 13, whose prev is 20001230 (slot 20)"},
        {"kind": "free", "slot": 9, "link": "next", "detail": "next 20001070 is slot 4, which is free"},
        {"kind": "mismatch", "slot": 13, "link": "prev",
         "detail": "prev 20001230 is slot 20, whose next is 20002000 (outside the table)"},
        {"kind": "outside", "slot": 20, "link": "next",
         "detail": "next 20002000 is outside the table, which runs from 20001000 to 2000137f"}])json"));
}

// No base can be had: one problem with no slot and no link, and only the
// lone timer makes a list.
TEST(Json, UnknownBase)
{
    std::string d = sampleDump();
    for (int k : {0, 1, 6, 9, 13})  // every timer with a link, but 3
        d = patched(d, k, 5, 0x40000000);
    dt::Result got;
    Json j = runJson(d, &got);
    EXPECT_EQ(got.status, 3);
    EXPECT_EQ(j["base"], nullptr);
    EXPECT_EQ(j["base_from"], nullptr);
    EXPECT_EQ(j["timers"][3]["next_slot"], nullptr);
    EXPECT_EQ(j["lists"], Json::parse("[[20]]"));
    ASSERT_EQ(j["problems"].size(), 1u);
    EXPECT_EQ(j["problems"][0]["kind"], "no-base");
    EXPECT_EQ(j["problems"][0]["slot"], nullptr);
    EXPECT_EQ(j["problems"][0]["link"], nullptr);
    EXPECT_TRUE(j["problems"][0]["detail"].is_string());
}

// Without a whole record, even with --base: no base, 32 free slots, nothing
// listed, status 0.
TEST(Json, NoWholeRecord)
{
    dt::Run r;
    r.args = {"--base", "20001000", "--json", dt::writeFile("short.bin", sampleDump().substr(0, 27))};
    dt::Result got = dt::run(r);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
    Json j = Json::parse(got.out);
    EXPECT_EQ(j["records"], 0);
    EXPECT_EQ(j["base"], nullptr);
    EXPECT_EQ(j["base_from"], nullptr);
    ASSERT_EQ(j["timers"].size(), 32u);
    for (const Json &t : j["timers"])
        EXPECT_EQ(t["used"], false);
    EXPECT_EQ(j["lists"], Json::array());
    EXPECT_EQ(j["problems"], Json::array());
}

TEST(Json, BaseFromOption)
{
    dt::Run r;
    r.args = {"--base", "0x20001000", "--json", dt::writeFile("given.bin", sampleDump())};
    dt::Result got = dt::run(r);
    EXPECT_EQ(got.status, 0);
    Json j = Json::parse(got.out);
    EXPECT_EQ(j["base"], "0x20001000");
    EXPECT_EQ(j["base_from"], "option");
}
#else
TEST(Json, Parses) { GTEST_SKIP() << "built without nlohmann/json.hpp (apt-get install nlohmann-json3-dev)"; }
#endif

// --dot, laid out by Graphviz's dot: it must render, and its plain output
// must hold the nodes and arrows expected, red where the links are broken.
// Each line is "node NAME COLOR" or "edge FROM TO STYLE COLOR".
std::set<std::string> dotLayout(const std::string &dump, int *status)
{
    dt::Run r;
    r.args = {"--dot", dt::writeFile("graph.bin", dump)};
    dt::Result got = dt::run(r);
    *status = got.status;
    EXPECT_EQ(got.err, "");
    std::string gv = dt::writeFile("graph.gv", got.out);
    std::string plain = gv + ".plain", svg = gv + ".svg", err = gv + ".err";
    std::string dot = DUMP_TIMERS_DOT;
    EXPECT_EQ(std::system((dot + " -Tsvg -o '" + svg + "' '" + gv + "' 2>'" + err + "'").c_str()), 0);
    EXPECT_EQ(dt::readFile(err), "");
    EXPECT_NE(dt::readFile(svg).find("<svg"), std::string::npos);
    EXPECT_EQ(std::system((dot + " -Tplain -o '" + plain + "' '" + gv + "'").c_str()), 0);
    std::set<std::string> layout;
    std::istringstream in(dt::readFile(plain));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;)
            w.push_back(x);
        if (w.size() > 4 && w[0] == "node")
            layout.insert("node " + w[1] + " " + w[w.size() - 2]);
        else if (w.size() > 4 && w[0] == "edge")
            layout.insert("edge " + w[1] + " " + w[2] + " " + w[w.size() - 2] + " " + w.back());
    }
    return layout;
}

const char *lacksDot()
{
    if (DUMP_TIMERS_CROSS)
        return "a cross build: Graphviz's dot runs on the build host, not beside the emulated tests";
    if (std::string(DUMP_TIMERS_DOT).empty())
        return "Graphviz's dot is not installed (apt-get install graphviz)";
    return nullptr;
}

TEST(Dot, SampleRenders)
{
    if (const char *why = lacksDot())
        GTEST_SKIP() << why;
    int status = -1;
    EXPECT_EQ(dotLayout(sampleDump(), &status),
              (std::set<std::string>{"node slot0 black", "node slot1 black", "node slot3 black",
                                     "node slot6 black", "node slot9 black", "node slot13 black",
                                     "node slot20 black", "edge slot3 slot0 solid black",
                                     "edge slot0 slot6 solid black", "edge slot6 slot13 solid black",
                                     "edge slot13 slot1 solid black", "edge slot1 slot9 solid black"}));
    EXPECT_EQ(status, 0);
}

TEST(Dot, DamagedInRed)
{
    if (const char *why = lacksDot())
        GTEST_SKIP() << why;
    int status = -1;
    EXPECT_EQ(dotLayout(damagedDump(), &status),
              (std::set<std::string>{"node slot0 black", "node slot1 black", "node slot3 black",
                                     "node slot6 red", "node slot9 red", "node slot13 red",
                                     "node slot20 red", "node slot9_next red",
                                     "node slot20_next red", "edge slot3 slot0 solid black",
                                     "edge slot0 slot6 solid black", "edge slot6 slot13 solid red",
                                     "edge slot13 slot1 solid black", "edge slot1 slot9 solid black",
                                     "edge slot9 slot9_next dashed red",
                                     "edge slot20 slot20_next dashed red"}));
    EXPECT_EQ(status, 3);
}

TEST(Dot, EmptyGraphRenders)
{
    if (const char *why = lacksDot())
        GTEST_SKIP() << why;
    int status = -1;
    EXPECT_EQ(dotLayout("", &status), std::set<std::string>{});
    EXPECT_EQ(status, 0);
}

}  // namespace
