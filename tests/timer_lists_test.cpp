// The list walk on its own: a decoded table goes in, the base, the lists
// and the problems come out. Each case is a small table of timers and what
// an engineer reading it should be told, written out by hand.
//
// The tool's source is compiled into this test, its main renamed, so the
// walk is called directly on tables built here in host order.

#define main dumpTimersMain
#include "../sw/tools/conv/dump_timers.cpp"
#undef main

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// The target address of slot k in a table at 0x20001000, and at 0x1000.
constexpr u32 at(int k) { return 0x20001000u + 28u * static_cast<u32>(k); }
constexpr u32 low(int k) { return 0x1000u + 28u * static_cast<u32>(k); }

// A timer in use with just its links; the other fields do not matter here.
ZETTimer linked(u32 prev, u32 next) { return ZETTimer{100, 10, 0x20000400, 1, 2, prev, next}; }
// A free slot whose stale links must never be looked at.
ZETTimer stale(u32 prev, u32 next) { return ZETTimer{100, 10, 0, 1, 2, prev, next}; }

struct Case {
    const char *name;
    std::vector<std::pair<int, ZETTimer>> slots;
    u32 records;
    u32 givenBase;  // 0: infer it
    // "base 20001000 links (N pairs)", "base 00001000 option" or "base unknown"
    const char *base;
    // each list as "[a b c]", in order
    const char *lists;
    // each problem as "kind slot link", "-" for null, separated by "; "
    const char *problems;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string baseText(const TimerLists &tl)
{
    if (!tl.haveBase)
        return tl.baseFrom == nullptr ? "base unknown" : "base unknown, yet a source";
    char buf[64];
    if (std::string(tl.baseFrom) == "links")
        snprintf(buf, sizeof buf, "base %08x links (%d pairs)", static_cast<unsigned>(tl.base), tl.linkedPairs);
    else
        snprintf(buf, sizeof buf, "base %08x %s", static_cast<unsigned>(tl.base), tl.baseFrom);
    return buf;
}

std::string listsText(const TimerLists &tl)
{
    std::string s;
    for (int k = 0; k < tl.lists; k++) {
        s += k == 0 ? "[" : " [";
        for (int i = tl.listStart[k]; i < tl.listStart[k + 1]; i++) {
            if (i > tl.listStart[k])
                s += ' ';
            s += std::to_string(tl.order[i]);
        }
        s += "]";
    }
    return s;
}

std::string problemsText(const TimerLists &tl)
{
    static const char *const kinds[] = {"no-base", "outside", "free", "mismatch", "cycle", "unlisted"};
    static const char *const links[] = {"-", "prev", "next"};
    std::string s;
    for (int i = 0; i < tl.nproblems; i++) {
        const TimerProblem &p = tl.problems[i];
        if (i > 0)
            s += "; ";
        s += kinds[p.kind];
        s += ' ';
        s += p.slot < 0 ? "-" : std::to_string(p.slot);
        s += ' ';
        s += links[p.link];
    }
    return s;
}

class Walk : public testing::TestWithParam<Case> {};

TEST_P(Walk, BaseListsProblems)
{
    const Case &c = GetParam();
    ZETTimer area[TIMER_SLOTS] = {};
    for (const auto &[k, t] : c.slots)
        area[k] = t;
    TimerLists tl;
    walkTimerLists(area, c.records, c.givenBase != 0 ? &c.givenBase : nullptr, &tl);
    EXPECT_EQ(baseText(tl), c.base);
    EXPECT_EQ(listsText(tl), c.lists);
    EXPECT_EQ(problemsText(tl), c.problems);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Walk,
    testing::Values(
        // The sample's shape: one list 3, 0, 6 and a lone timer.
        Case{"intact_list",
             {{3, linked(0, at(0))}, {0, linked(at(3), at(6))}, {6, linked(at(0), 0)}, {20, linked(0, 0)}},
             32, 0, "base 20001000 links (2 pairs)", "[3 0 6] [20]", ""},
        Case{"no_timer_in_use", {{4, stale(at(1), at(2))}}, 32, 0, "base unknown", "", ""},
        // Only lone timers: nothing to infer a base from, and nothing to check.
        Case{"lone_timers_without_base", {{2, linked(0, 0)}, {9, linked(0, 0)}}, 32, 0,
             "base unknown", "[2] [9]", ""},
        // Links but no pair agreeing on a base: they cannot be followed.
        Case{"links_without_base", {{1, linked(0, at(5))}, {5, linked(at(2), 0)}, {7, linked(0, 0)}},
             32, 0, "base unknown", "[7]", "no-base - -"},
        Case{"base_given", {{0, linked(0, low(1))}, {1, linked(low(0), 0)}}, 32, 0x1000,
             "base 00001000 option", "[0 1]", ""},
        // A given base is used even where the links suggest another.
        Case{"base_given_overrides_links", {{0, linked(0, at(1))}, {1, linked(at(0), 0)}}, 32, 0x1000,
             "base 00001000 option", "[0]", "outside 0 next; outside 1 prev; unlisted 1 -"},
        // Slots past the records read are free, whatever the table holds there.
        Case{"past_records_free", {{0, linked(0, at(1))}, {1, linked(at(0), 0)}}, 1, 0,
             "base unknown", "", "no-base - -"},
        Case{"no_record_with_base", {{0, linked(0, 0)}}, 0, 0x1000, "base unknown", "", ""},
        // Two bases with one pair each: the lower one wins.
        Case{"tie_goes_to_lowest_base",
             {{0, linked(0, at(1))}, {1, linked(at(0), 0)}, {2, linked(0, low(3))}, {3, linked(low(2), 0)}},
             32, 0, "base 00001000 links (1 pairs)", "[0] [2 3]",
             "outside 0 next; outside 1 prev; unlisted 1 -"},
        // More pairs beat a lower base.
        Case{"most_pairs_win",
             {{0, linked(0, at(1))}, {1, linked(at(0), at(2))}, {2, linked(at(1), 0)},
              {4, linked(0, low(5))}, {5, linked(low(4), 0)}},
             32, 0, "base 20001000 links (2 pairs)", "[0 1 2] [4]",
             "outside 4 next; outside 5 prev; unlisted 5 -"},
        // Slots linked both ways count twice, (3, 4) and (4, 3), and so
        // outweigh the one pair at the lower base.
        Case{"pair_both_ways_counts_twice",
             {{3, linked(at(4), at(4))}, {4, linked(at(3), at(3))}, {7, linked(0, low(8))},
              {8, linked(low(7), 0)}},
             32, 0, "base 20001000 links (2 pairs)", "[7]",
             "cycle 3 next; outside 7 next; outside 8 prev; unlisted 8 -"},
        // A base at 0 or one that would run the table past 2^32 is no base.
        Case{"only_invalid_bases",
             {{0, linked(0, 28)}, {1, linked(0, 0)}, {2, linked(0, 0xfffffc84u + 28u * 3u)},
              {3, linked(0xfffffc84u + 28u * 2u, 0)}},
             32, 0, "base unknown", "[1]", "no-base - -"},
        Case{"highest_valid_base",
             {{0, linked(0, 0xfffffc80u + 28u)}, {1, linked(0xfffffc80u, 0)}}, 32, 0,
             "base fffffc80 links (1 pairs)", "[0 1]", ""},
        // Below the table, above it, and inside it but off a record's start.
        Case{"outside_three_ways",
             {{0, linked(0, at(1))}, {1, linked(at(0), 0x20000ffc)}, {2, linked(0, at(32))},
              {3, linked(0, at(4) + 4)}},
             32, 0, "base 20001000 links (1 pairs)", "[0 1] [2] [3]",
             "outside 1 next; outside 2 next; outside 3 next"},
        Case{"link_to_free_slot",
             {{0, linked(0, at(1))}, {1, linked(at(0), at(2))}, {2, stale(at(1), 0)}, {5, linked(at(9), 0)}},
             32, 0, "base 20001000 links (1 pairs)", "[0 1]",
             "free 1 next; free 5 prev; unlisted 5 -"},
        // 6's next names 13, whose prev names 20: both ends of the break.
        Case{"mismatch_both_ends",
             {{3, linked(0, at(6))}, {6, linked(at(3), at(13))}, {13, linked(at(20), 0)}, {20, linked(0, 0)}},
             32, 0, "base 20001000 links (1 pairs)", "[3 6 13] [20]",
             "mismatch 6 next; mismatch 13 prev"},
        // A head that an earlier walk reached starts no list of its own.
        Case{"head_reached_earlier",
             {{0, linked(0, at(1))}, {1, linked(0, at(2))}, {2, linked(at(1), 0)}},
             32, 0, "base 20001000 links (1 pairs)", "[0 1 2]", "mismatch 0 next"},
        // Two heads lead to one timer: the second walk stops before it.
        Case{"walks_merge",
             {{0, linked(0, at(2))}, {1, linked(0, at(2))}, {2, linked(at(0), 0)}},
             32, 0, "base 20001000 links (1 pairs)", "[0 2] [1]", "mismatch 1 next"},
        // A timer that names itself as next: a cycle of one, and a
        // mismatch, since its prev does not name it back.
        Case{"self_link",
             {{4, linked(0, at(4))}}, 32, 0x20001000, "base 20001000 option", "[4]",
             "mismatch 4 next; cycle 4 next"},
        // A head's walk runs into a cycle: listed up to where it comes back.
        Case{"cycle_from_head",
             {{0, linked(0, at(1))}, {1, linked(at(0), at(2))}, {2, linked(at(1), at(3))},
              {3, linked(at(2), at(1))}},
             32, 0, "base 20001000 links (3 pairs)", "[0 1 2 3]", "cycle 1 next; mismatch 3 next"},
        // A ring no head reaches: one problem, at its lowest slot, and its
        // timers are not also called unlisted. A timer leading into it is.
        Case{"cycle_no_head_reaches",
             {{9, linked(at(12), at(5))}, {5, linked(at(9), at(12))}, {12, linked(at(5), at(9))},
              {20, linked(at(21), at(9))}},
             32, 0, "base 20001000 links (3 pairs)", "",
             "cycle 5 next; free 20 prev; mismatch 20 next; unlisted 20 -"},
        // Two rings: one problem each.
        Case{"two_cycles",
             {{1, linked(at(2), at(2))}, {2, linked(at(1), at(1))}, {30, linked(at(31), at(31))},
              {31, linked(at(30), at(30))}},
             32, 0, "base 20001000 links (4 pairs)", "", "cycle 1 next; cycle 30 next"}),
    [](const testing::TestParamInfo<Case> &p) { return std::string(p.param.name); });

// The problems of one slot come in the order outside, free, mismatch,
// cycle, unlisted, and prev before next; slots in ascending order.
TEST(Walk, ProblemOrder)
{
    ZETTimer area[TIMER_SLOTS] = {};
    area[31] = linked(at(40), at(2));  // prev outside, next to a free slot
    area[2] = stale(0, 0);
    area[7] = linked(at(7), at(7));    // self-linked both ways: a cycle only
    area[8] = linked(at(9), at(8));    // prev free, next mismatch, cycle
    TimerLists tl;
    u32 base = 0x20001000;
    walkTimerLists(area, 32, &base, &tl);
    EXPECT_EQ(problemsText(tl),
              "cycle 7 next; free 8 prev; mismatch 8 next; cycle 8 next; "
              "outside 31 prev; free 31 next; unlisted 31 -");
}

}  // namespace
