// dump_timers - print the timer table of a ZET target from a raw dump.
//
// The target keeps its timers in one fixed table of 32 records of 28 bytes.
// A dump file is a byte-for-byte copy of that table as the target stores it:
// 896 bytes of big-endian 32-bit words, no header. This tool loads the first
// 896 bytes of such a file, decodes every word to host order and prints one
// report per slot.
//
// Beyond the report, the views answer what an engineer opens a dump for:
// are the timer lists intact, in what order are the timers chained, which
// slot does a link name. They walk the prev/next links, check them, and print
// the lists for people (--lists), the whole table for scripts (--json), or a
// picture (--dot).
//
// The file reads top to bottom as the data flows: the target's record types,
// the timer area and the owner names, the loader, the report, the views, the
// command line and the driver.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "portability.h"

// The target's basic types.
using u32 = std::uint32_t;
using s32 = std::int32_t;
using ZETTime = u32;
using ZETMessage = s32;

// One timer record, exactly as the target lays it out. mq, prev and next are
// addresses in the target's 32-bit memory: printed, never followed.
struct ZETTimer {
    ZETTime value;     // time value
    ZETTime interval;  // reload interval
    u32 mq;            // target address of the ZETMessageQueue; 0: slot free
    ZETMessage mesg;   // message posted when the timer fires
    u32 owner;         // id of the owning process, see __processes
    u32 prev;          // target address of the previous ZETTimer in its list
    u32 next;          // target address of the next ZETTimer in its list
};
static_assert(sizeof(ZETTimer) == 28, "a timer record is seven 32-bit words");

enum { TIMER_SLOTS = 32, OWNER_NAMES = 16 };

// The timer area: zero at start, filled and decoded once by initTimers.
static ZETTimer __timers[TIMER_SLOTS];
static_assert(sizeof __timers == 896, "a dump holds 896 bytes");

// Number of whole records the last load read (0 to 32).
u32 nqueues;

// Owner names, indexed by process id (not by slot). Ids 9 and 12 really are
// both "ga" on the target.
extern const char *const __processes[OWNER_NAMES];
const char *const __processes[OWNER_NAMES] = {
    "tarmin", "gorvand", "ux", "qo", "pe0", "pe1", "bry", "malvik",
    "jor",    "ga",      "ob", "ek", "ga",  "hux", "rol", "cerlund",
};

// Read up to a whole area from stream into __timers and decode it, quietly.
// Returns the number of whole records read (0 to 32), or -1 on a read error,
// when nothing is decoded and the stream's error flag tells why.
static int readTimers(FILE *stream)
{
    unsigned char *area = reinterpret_cast<unsigned char *>(__timers);

    size_t n = fread(area, sizeof(ZETTimer), TIMER_SLOTS, stream);
    if (ferror(stream))
        return -1;
    nqueues = static_cast<u32>(n);

    // fread may leave the bytes of a trailing partial record in the area.
    // Half a record is not a timer: keep that slot, and all after it, zero.
    std::memset(area + n * sizeof(ZETTimer), 0, sizeof __timers - n * sizeof(ZETTimer));

    // Every word is big-endian in the file. Build each from its bytes so the
    // result is the same whatever the host's own byte order.
    for (size_t off = 0; off < n * sizeof(ZETTimer); off += sizeof(u32)) {
        const unsigned char *b = area + off;
        u32 w = static_cast<u32>(b[0]) << 24 | static_cast<u32>(b[1]) << 16 |
                static_cast<u32>(b[2]) << 8 | static_cast<u32>(b[3]);
        std::memcpy(area + off, &w, sizeof w);
    }
    return static_cast<int>(n);
}

// Load a dump from stream into __timers and decode it. Returns 0 when at least
// one whole record was read, -1 otherwise. On a read error nothing is decoded
// or printed and the stream's error flag tells the caller why -1 came back.
int initTimers(FILE *stream)
{
    int n = readTimers(stream);
    if (n < 0)
        return -1;
    if (n == 0) {
        printf("Did not find any timers in the file\n");
        return -1;
    }
    return 0;
}

// Report slot i: a heading with the record's host address, then "Unused" or
// the record's fields. value, interval and owner print as signed decimal, the
// way the target's own tools show them; the rest as 32-bit hex patterns.
void __zetGetTimerUsage(int i)
{
    if (i < 0 || i >= TIMER_SLOTS)
        return;
    const ZETTimer &t = __timers[i];

    printf("Timer %d [%08" PRIxPTR "]: ", i, reinterpret_cast<uintptr_t>(&t));
    if (t.mq == 0) {
        printf("Unused\n");
        return;
    }
    printf("\n");
    printf("  value: %d, interval: %d\n", static_cast<int>(static_cast<s32>(t.value)),
           static_cast<int>(static_cast<s32>(t.interval)));
    printf("  mesg: %08x, mq: %08x\n", static_cast<unsigned>(static_cast<u32>(t.mesg)),
           static_cast<unsigned>(t.mq));
    printf("  prev: %08x, next: %08x\n", static_cast<unsigned>(t.prev),
           static_cast<unsigned>(t.next));
    if (t.owner < OWNER_NAMES)
        printf("  owner: %d (%s)\n", static_cast<int>(static_cast<s32>(t.owner)),
               __processes[t.owner]);
    else
        printf("  owner: %d (unknown)\n", static_cast<int>(static_cast<s32>(t.owner)));
}

// Report the whole area, every slot whatever the file reached, then a blank line.
void __zetGetTimersUsage(void)
{
    for (int i = 0; i < TIMER_SLOTS; i++)
        __zetGetTimerUsage(i);
    printf("\n");
}

// ---------------------------------------------------------------------------
// The views: the timer lists walked and checked.
//
// On the target, each timer in use sits on a doubly linked list: prev and
// next hold the target addresses of its neighbours, 0 at either end. The dump
// holds no address of its own, so the table's target address (its base: the
// address of slot 0, slot k lying at base + 28k) is given with --base or
// inferred from the links themselves: the base under which the most pairs of
// timers point at each other both ways. Everything below works on a decoded
// area and reads no global but the owner names, so a test can hand it any
// table.

enum LinkEnd { LINK_NONE, LINK_PREV, LINK_NEXT };
// In the order problems of one slot are listed.
enum ProblemKind { PROBLEM_NO_BASE, PROBLEM_OUTSIDE, PROBLEM_FREE, PROBLEM_MISMATCH,
                   PROBLEM_CYCLE, PROBLEM_UNLISTED };

struct TimerProblem {
    ProblemKind kind;
    int slot;      // -1: none (no-base)
    LinkEnd link;  // the link at fault, or none
};

// Per slot at most one problem for each link, one for a cycle or being on
// no list; and one no-base for the whole table.
enum { MAX_PROBLEMS = 3 * TIMER_SLOTS + 1 };

struct TimerLists {
    u32 records;           // whole records in the dump
    bool haveBase;
    u32 base;              // with haveBase: the target address of slot 0
    const char *baseFrom;  // "option", "links", or nullptr when unknown
    int linkedPairs;       // with a base from the links: how many pairs agree on it
    bool used[TIMER_SLOTS];
    int prevSlot[TIMER_SLOTS], nextSlot[TIMER_SLOTS];  // the slot a link resolves to, or -1
    bool onCycle[TIMER_SLOTS];
    // The lists in order of their heads: list k is order[listStart[k]] up to
    // order[listStart[k + 1]].
    int order[TIMER_SLOTS];
    int listStart[TIMER_SLOTS + 1];
    int lists;
    TimerProblem problems[MAX_PROBLEMS];
    int nproblems;
};

static const u32 TABLE_BYTES = sizeof __timers;
// The highest base at which the whole table still lies below 2^32. Slot 0 at
// address 0 is no base: a link to it could not be told from a list's end.
static const u32 MAX_BASE = 0xffffffffu - TABLE_BYTES + 1;

static bool validBase(unsigned long long b) { return b != 0 && b <= MAX_BASE; }

// The slot a link names under the lists' base, or -1: a link of 0 (the end
// of a list), no base, or an address below, above or inside the table but
// not at the start of a record.
static int slotAt(const TimerLists &tl, u32 link)
{
    if (link == 0 || !tl.haveBase || link < tl.base)
        return -1;
    u32 d = link - tl.base;
    if (d >= TABLE_BYTES || d % sizeof(ZETTimer) != 0)
        return -1;
    return static_cast<int>(d / sizeof(ZETTimer));
}

static u32 slotAddress(const TimerLists &tl, int slot)
{
    return tl.base + static_cast<u32>(slot) * static_cast<u32>(sizeof(ZETTimer));
}

// The base with the most linked pairs: in-use slots S != T with
// S.next = B + 28T and T.prev = B + 28S. Ties go to the lowest base. Returns
// the number of pairs for it; 0 when there is none.
static int inferBase(const ZETTimer area[], const bool used[], u32 *base)
{
    static u32 found[TIMER_SLOTS * (TIMER_SLOTS - 1)];
    int n = 0;
    for (int s = 0; s < TIMER_SLOTS; s++) {
        if (!used[s] || area[s].next == 0)
            continue;
        for (int t = 0; t < TIMER_SLOTS; t++) {
            unsigned long long at = 28ull * static_cast<unsigned>(t);
            if (t == s || !used[t] || area[s].next < at)
                continue;
            unsigned long long b = area[s].next - at;
            if (validBase(b) && area[t].prev == b + 28ull * static_cast<unsigned>(s))
                found[n++] = static_cast<u32>(b);
        }
    }
    std::sort(found, found + n);
    int best = 0;
    for (int i = 0, run = 0; i < n; i += run) {
        for (run = 1; i + run < n && found[i + run] == found[i]; run++) {
        }
        if (run > best) {
            best = run;
            *base = found[i];
        }
    }
    return best;
}

static void addProblem(TimerLists *tl, ProblemKind kind, int slot, LinkEnd link)
{
    if (tl->nproblems < MAX_PROBLEMS)
        tl->problems[tl->nproblems++] = TimerProblem{kind, slot, link};
}

static bool problemBefore(const TimerProblem &a, const TimerProblem &b)
{
    if (a.slot != b.slot)
        return a.slot < b.slot;
    if (a.kind != b.kind)
        return a.kind < b.kind;
    return a.link < b.link;
}

// Walk the lists of a decoded area of `records` whole records, and check
// every link of every timer in use. givenBase: the base from the command
// line, or nullptr to infer it.
void walkTimerLists(const ZETTimer area[], u32 records, const u32 *givenBase, TimerLists *tl)
{
    *tl = TimerLists{};
    tl->records = records;
    for (int s = 0; s < TIMER_SLOTS; s++) {
        tl->used[s] = static_cast<u32>(s) < records && area[s].mq != 0;
        tl->prevSlot[s] = tl->nextSlot[s] = -1;
    }
    if (records > 0 && givenBase != nullptr) {
        tl->haveBase = true;
        tl->base = *givenBase;
        tl->baseFrom = "option";
    } else if (records > 0 && (tl->linkedPairs = inferBase(area, tl->used, &tl->base)) > 0) {
        tl->haveBase = true;
        tl->baseFrom = "links";
    }

    bool listed[TIMER_SLOTS] = {};
    int n = 0;
    if (!tl->haveBase) {
        // Without a base no link can be followed: only a timer alone, with
        // neither neighbour, is known to make a list.
        bool linked = false;
        for (int s = 0; s < TIMER_SLOTS; s++) {
            if (!tl->used[s])
                continue;
            if (area[s].prev != 0 || area[s].next != 0) {
                linked = true;
                continue;
            }
            tl->listStart[tl->lists++] = n;
            tl->order[n++] = s;
        }
        tl->listStart[tl->lists] = n;
        if (linked)
            addProblem(tl, PROBLEM_NO_BASE, -1, LINK_NONE);
        return;
    }

    // Every link of every timer in use, prev before next.
    for (int s = 0; s < TIMER_SLOTS; s++) {
        if (!tl->used[s])
            continue;
        u32 self = slotAddress(*tl, s);
        tl->prevSlot[s] = slotAt(*tl, area[s].prev);
        tl->nextSlot[s] = slotAt(*tl, area[s].next);
        for (LinkEnd end : {LINK_PREV, LINK_NEXT}) {
            u32 link = end == LINK_PREV ? area[s].prev : area[s].next;
            int t = end == LINK_PREV ? tl->prevSlot[s] : tl->nextSlot[s];
            if (link == 0)
                continue;
            if (t < 0)
                addProblem(tl, PROBLEM_OUTSIDE, s, end);
            else if (!tl->used[t])
                addProblem(tl, PROBLEM_FREE, s, end);
            else if ((end == LINK_NEXT ? area[t].prev : area[t].next) != self)
                addProblem(tl, PROBLEM_MISMATCH, s, end);
        }
    }

    // The lists: from each head (a timer whose prev is 0) in slot order,
    // follow next while it names a timer in use that no walk has reached.
    // Each step reaches a new slot, so the walks end within 32 steps.
    for (int h = 0; h < TIMER_SLOTS; h++) {
        if (!tl->used[h] || area[h].prev != 0 || listed[h])
            continue;
        tl->listStart[tl->lists++] = n;
        for (int s = h; s >= 0 && tl->used[s] && !listed[s]; s = tl->nextSlot[s]) {
            listed[s] = true;
            tl->order[n++] = s;
        }
    }
    tl->listStart[tl->lists] = n;

    // Cycles: follow next through timers in use from every slot not yet
    // passed. A walk that comes back to a slot of its own has found a cycle;
    // one that meets an earlier walk has nothing new. Again each step passes
    // a new slot.
    int walkOf[TIMER_SLOTS];
    std::fill(walkOf, walkOf + TIMER_SLOTS, -1);
    for (int w = 0; w < TIMER_SLOTS; w++) {
        int s = w;
        while (s >= 0 && tl->used[s] && walkOf[s] < 0) {
            walkOf[s] = w;
            s = tl->nextSlot[s];
        }
        if (s < 0 || !tl->used[s] || walkOf[s] != w)
            continue;
        int lowest = s;
        int c = s;
        do {
            tl->onCycle[c] = true;
            lowest = std::min(lowest, c);
            c = tl->nextSlot[c];
        } while (c != s);
        addProblem(tl, PROBLEM_CYCLE, lowest, LINK_NEXT);
    }

    for (int s = 0; s < TIMER_SLOTS; s++)
        if (tl->used[s] && !listed[s] && !tl->onCycle[s])
            addProblem(tl, PROBLEM_UNLISTED, s, LINK_NONE);

    std::sort(tl->problems, tl->problems + tl->nproblems, problemBefore);
}

static const char *const problemNames[] = {"no-base", "outside", "free", "mismatch", "cycle", "unlisted"};
static const char *const linkNames[] = {nullptr, "prev", "next"};

static const char *ownerName(u32 owner)
{
    return owner < OWNER_NAMES ? __processes[owner] : nullptr;
}

// One sentence that tells a person what is wrong, into buf.
static void describeProblem(const ZETTimer area[], const TimerLists &tl, const TimerProblem &p,
                            char *buf, size_t size)
{
    if (p.kind == PROBLEM_NO_BASE) {
        snprintf(buf, size, "timers link to others, but no two link to each other both ways, "
                            "so the table's target address is unknown; give it with --base");
        return;
    }
    const ZETTimer &t = area[p.slot];
    u32 link = p.link == LINK_PREV ? t.prev : t.next;
    const char *name = linkNames[p.link];
    int to = p.link == LINK_PREV ? tl.prevSlot[p.slot] : tl.nextSlot[p.slot];
    switch (p.kind) {
    case PROBLEM_OUTSIDE: {
        u32 last = tl.base + (TABLE_BYTES - 1);
        if (link < tl.base || link > last)
            snprintf(buf, size, "%s %08x is outside the table, which runs from %08x to %08x", name,
                     static_cast<unsigned>(link), static_cast<unsigned>(tl.base),
                     static_cast<unsigned>(last));
        else
            snprintf(buf, size, "%s %08x is inside the table but not at the start of a record", name,
                     static_cast<unsigned>(link));
        return;
    }
    case PROBLEM_FREE:
        snprintf(buf, size, "%s %08x is slot %d, which is free", name, static_cast<unsigned>(link), to);
        return;
    case PROBLEM_MISMATCH: {
        // The link back from the slot named, and where that one leads.
        u32 back = p.link == LINK_PREV ? area[to].next : area[to].prev;
        int backTo = slotAt(tl, back);
        char where[32] = "none";
        if (back != 0 && backTo >= 0)
            snprintf(where, sizeof where, "slot %d", backTo);
        else if (back != 0)
            snprintf(where, sizeof where, "outside the table");
        snprintf(buf, size, "%s %08x is slot %d, whose %s is %08x (%s)", name,
                 static_cast<unsigned>(link), to, linkNames[p.link == LINK_PREV ? LINK_NEXT : LINK_PREV],
                 static_cast<unsigned>(back), where);
        return;
    }
    case PROBLEM_CYCLE: {
        int len = snprintf(buf, size, "following next from slot %d comes back to it: %d", p.slot, p.slot);
        int s = p.slot;
        for (int steps = 0; steps < TIMER_SLOTS && len >= 0 && static_cast<size_t>(len) < size; steps++) {
            s = tl.nextSlot[s];
            len += snprintf(buf + len, size - static_cast<size_t>(len), " -> %d", s);
            if (s == p.slot)
                break;
        }
        return;
    }
    case PROBLEM_UNLISTED:
        snprintf(buf, size, "in use, but no walk of next links from a list's head "
                            "(a timer whose prev is 0) reaches it");
        return;
    case PROBLEM_NO_BASE:
        break;
    }
}

// Where the base came from, in words.
static void printBaseLine(const TimerLists &tl)
{
    if (!tl.haveBase)
        printf("Base unknown: no two timers link to each other both ways\n");
    else if (tl.linkedPairs > 0)
        printf("Base %08x, inferred from %d linked pairs\n", static_cast<unsigned>(tl.base),
               tl.linkedPairs);
    else
        printf("Base %08x, given with --base\n", static_cast<unsigned>(tl.base));
}

// --lists: for people. The base, each list in link order, one line a timer,
// then the problems, one line each, or "No problems found.".
void printTimerLists(const ZETTimer area[], const TimerLists &tl)
{
    printBaseLine(tl);
    if (tl.lists == 0)
        printf("\nNo lists: no timer is in use, or none is known to start a list.\n");
    for (int k = 0; k < tl.lists; k++) {
        int len = tl.listStart[k + 1] - tl.listStart[k];
        printf("\nList %d: %d timer%s, head slot %d\n", k + 1, len, len == 1 ? "" : "s",
               tl.order[tl.listStart[k]]);
        printf("  slot       value    interval  owner             mq        mesg\n");
        for (int i = tl.listStart[k]; i < tl.listStart[k + 1]; i++) {
            const ZETTimer &t = area[tl.order[i]];
            const char *owner = ownerName(t.owner);
            char who[40];
            snprintf(who, sizeof who, "%d (%s)", static_cast<int>(static_cast<s32>(t.owner)),
                     owner != nullptr ? owner : "unknown");
            printf("  %4d %11d %11d  %-16s  %08x  %08x\n", tl.order[i],
                   static_cast<int>(static_cast<s32>(t.value)),
                   static_cast<int>(static_cast<s32>(t.interval)), who, static_cast<unsigned>(t.mq),
                   static_cast<unsigned>(static_cast<u32>(t.mesg)));
        }
    }
    if (tl.nproblems == 0) {
        printf("\nNo problems found.\n");
        return;
    }
    printf("\n%d problem%s found:\n", tl.nproblems, tl.nproblems == 1 ? "" : "s");
    for (int i = 0; i < tl.nproblems; i++) {
        const TimerProblem &p = tl.problems[i];
        char detail[256];
        describeProblem(area, tl, p, detail, sizeof detail);
        if (p.slot < 0)
            printf("  %s: %s\n", problemNames[p.kind], detail);
        else
            printf("  slot %d: %s: %s\n", p.slot, problemNames[p.kind], detail);
    }
}

// A JSON string: the texts here are ASCII, but quote and backslash are
// escaped all the same.
static void printJsonString(const char *s)
{
    putchar('"');
    for (; *s != '\0'; s++) {
        if (*s == '"' || *s == '\\')
            putchar('\\');
        putchar(*s);
    }
    putchar('"');
}

static void printJsonSlot(int slot)
{
    if (slot < 0)
        printf("null");
    else
        printf("%d", slot);
}

// --json: for scripts. One object, keys in a fixed order, one timer and one
// problem to a line. Addresses and words are "0x" and 8 hex digits; value,
// interval and owner signed integers, as the report prints them.
void printTimersJson(const ZETTimer area[], const TimerLists &tl)
{
    printf("{\"version\": 1, \"records\": %u, \"base\": ", static_cast<unsigned>(tl.records));
    if (tl.haveBase)
        printf("\"0x%08x\", \"base_from\": \"%s\",\n", static_cast<unsigned>(tl.base), tl.baseFrom);
    else
        printf("null, \"base_from\": null,\n");
    printf(" \"timers\": [\n");
    for (int s = 0; s < TIMER_SLOTS; s++) {
        const ZETTimer &t = area[s];
        const char *end = s + 1 < TIMER_SLOTS ? ",\n" : "],\n";
        if (!tl.used[s]) {
            printf("  {\"slot\": %d, \"used\": false}%s", s, end);
            continue;
        }
        printf("  {\"slot\": %d, \"used\": true, \"value\": %d, \"interval\": %d, \"mesg\": \"0x%08x\", "
               "\"mq\": \"0x%08x\", \"owner\": %d, \"owner_name\": ",
               s, static_cast<int>(static_cast<s32>(t.value)),
               static_cast<int>(static_cast<s32>(t.interval)),
               static_cast<unsigned>(static_cast<u32>(t.mesg)), static_cast<unsigned>(t.mq),
               static_cast<int>(static_cast<s32>(t.owner)));
        if (const char *owner = ownerName(t.owner))
            printJsonString(owner);
        else
            printf("null");
        printf(", \"prev\": \"0x%08x\", \"next\": \"0x%08x\", \"prev_slot\": ",
               static_cast<unsigned>(t.prev), static_cast<unsigned>(t.next));
        printJsonSlot(tl.prevSlot[s]);
        printf(", \"next_slot\": ");
        printJsonSlot(tl.nextSlot[s]);
        printf("}%s", end);
    }
    printf(" \"lists\": [");
    for (int k = 0; k < tl.lists; k++) {
        printf(k == 0 ? "[" : ", [");
        for (int i = tl.listStart[k]; i < tl.listStart[k + 1]; i++)
            printf(i == tl.listStart[k] ? "%d" : ", %d", tl.order[i]);
        printf("]");
    }
    printf("],\n \"problems\": [");
    for (int i = 0; i < tl.nproblems; i++) {
        const TimerProblem &p = tl.problems[i];
        char detail[256];
        describeProblem(area, tl, p, detail, sizeof detail);
        printf("%s{\"kind\": \"%s\", \"slot\": ", i == 0 ? "\n  " : ",\n  ", problemNames[p.kind]);
        printJsonSlot(p.slot);
        if (p.link == LINK_NONE)
            printf(", \"link\": null");
        else
            printf(", \"link\": \"%s\"", linkNames[p.link]);
        printf(", \"detail\": ");
        printJsonString(detail);
        printf("}");
    }
    printf("]}\n");
}

// --dot: a Graphviz picture of the lists. One node per timer in use, an
// arrow for each next link that names a timer in use; what is wrong in red:
// the slots of problems, next links not matched by a prev, the links of a
// cycle, and links that lead outside the table or to a free slot, drawn to a
// small note of their own.
void printTimersDot(const ZETTimer area[], const TimerLists &tl)
{
    printf("digraph timers {\n");
    if (tl.records == 0) {
        printf("}\n");
        return;
    }
    bool flagged[TIMER_SLOTS] = {};
    bool badLink[TIMER_SLOTS][3] = {};
    for (int i = 0; i < tl.nproblems; i++) {
        const TimerProblem &p = tl.problems[i];
        if (p.slot >= 0) {
            flagged[p.slot] = true;
            badLink[p.slot][p.link] = true;
        }
    }
    if (tl.haveBase)
        printf("  label=\"timer lists, base %08x\";\n", static_cast<unsigned>(tl.base));
    else
        printf("  label=\"timer lists, base unknown\";\n");
    printf("  fontname=\"monospace\";\n");
    printf("  node [shape=box, fontname=\"monospace\"];\n");
    printf("  edge [fontname=\"monospace\"];\n");
    for (int s = 0; s < TIMER_SLOTS; s++) {
        if (!tl.used[s])
            continue;
        const ZETTimer &t = area[s];
        const char *owner = ownerName(t.owner);
        printf("  slot%d [label=\"slot %d\\n%d/%d\\nowner %d %s\"%s];\n", s, s,
               static_cast<int>(static_cast<s32>(t.value)),
               static_cast<int>(static_cast<s32>(t.interval)),
               static_cast<int>(static_cast<s32>(t.owner)), owner != nullptr ? owner : "(unknown)",
               flagged[s] ? ", color=red, fontcolor=red" : "");
    }
    for (int s = 0; s < TIMER_SLOTS; s++) {
        if (!tl.used[s])
            continue;
        int t = tl.nextSlot[s];
        if (t >= 0 && tl.used[t]) {
            bool red = badLink[s][LINK_NEXT] || tl.onCycle[s];
            printf("  slot%d -> slot%d%s;\n", s, t, red ? " [color=red]" : "");
        }
        for (LinkEnd end : {LINK_PREV, LINK_NEXT}) {
            int to = end == LINK_PREV ? tl.prevSlot[s] : tl.nextSlot[s];
            u32 link = end == LINK_PREV ? area[s].prev : area[s].next;
            if (link == 0 || !tl.haveBase || (to >= 0 && tl.used[to]))
                continue;
            char what[32];
            if (to >= 0)
                snprintf(what, sizeof what, "slot %d, free", to);
            else if (link < tl.base || link - tl.base >= TABLE_BYTES)
                snprintf(what, sizeof what, "outside the table");
            else
                snprintf(what, sizeof what, "not at a record");
            printf("  slot%d_%s [label=\"%08x\\n%s\", shape=plaintext, color=red, fontcolor=red];\n", s,
                   linkNames[end], static_cast<unsigned>(link), what);
            printf("  slot%d -> slot%d_%s [color=red, style=dashed, label=\"%s\"];\n", s, s,
                   linkNames[end], linkNames[end]);
        }
    }
    printf("}\n");
}

// ---------------------------------------------------------------------------
// The command line: options while the words start with '-', then FILE; the
// words after FILE are ignored. A lone "-" is a file name, and "--" ends the
// options, so a file named "-x" is reached as "./-x" or "-- -x".

enum View { VIEW_REPORT, VIEW_LISTS, VIEW_JSON, VIEW_DOT };

struct CommandLine {
    View view;
    const char *file;
    unsigned long long offset;  // bytes of FILE before the timer area
    bool haveBase;
    u32 base;
    bool help, version;
};

static const char progname[] = "dump_timers";

#ifndef DUMP_TIMERS_VERSION
#define DUMP_TIMERS_VERSION "unknown"
#endif

// A bad command line: one line on standard error, a hint, status 2.
// word and why may be nullptr.
static int commandLineError(const char *what, const char *word, const char *why)
{
    if (word != nullptr && why != nullptr)
        fprintf(stderr, "%s: %s '%s': %s\n", progname, what, word, why);
    else if (word != nullptr)
        fprintf(stderr, "%s: %s '%s'\n", progname, what, word);
    else
        fprintf(stderr, "%s: %s\n", progname, what);
    fprintf(stderr, "Try '%s --help' for more information.\n", progname);
    return 2;
}

// A whole number no larger than max: decimal, or hexadecimal after "0x";
// with hexOnly, hexadecimal with or without "0x". On failure *why says what
// is wrong with it.
static bool parseNumber(const char *s, bool hexOnly, unsigned long long max,
                        unsigned long long *value, const char **why)
{
    unsigned base = hexOnly ? 16 : 10;
    if (s[0] == '-') {
        *why = "negative";
        return false;
    }
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    *why = base == 16 ? "not a hexadecimal number" : "not a decimal number, nor hexadecimal after 0x";
    if (*s == '\0')
        return false;
    unsigned long long v = 0;
    for (; *s != '\0'; s++) {
        const char *digits = "0123456789abcdef";
        const char *at = std::strchr(digits, *s >= 'A' && *s <= 'F' ? *s - 'A' + 'a' : *s);
        if (at == nullptr || static_cast<unsigned>(at - digits) >= base)
            return false;
        unsigned digit = static_cast<unsigned>(at - digits);
        if (v > (max - digit) / base) {
            *why = "too large";
            return false;
        }
        v = v * base + digit;
    }
    *value = v;
    return true;
}

// Reads the command line into *cl. Returns 0, or 2 after saying what is wrong.
static int parseCommandLine(int argc, char *argv[], CommandLine *cl)
{
    *cl = CommandLine{};
    bool viewGiven = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i++) {
        const char *word = argv[i];
        if (std::strcmp(word, "--") == 0) {
            i++;
            break;
        }
        // --name or --name=value
        const char *eq = std::strchr(word, '=');
        size_t nameLen = eq != nullptr ? static_cast<size_t>(eq - word) : std::strlen(word);
        auto is = [&](const char *name) {
            return std::strlen(name) == nameLen && std::strncmp(word, name, nameLen) == 0;
        };
        static const struct {
            const char *name;
            View view;
        } views[] = {{"--lists", VIEW_LISTS}, {"--json", VIEW_JSON}, {"--dot", VIEW_DOT}};
        bool known = false;
        for (const auto &v : views) {
            if (!is(v.name))
                continue;
            known = true;
            if (eq != nullptr)
                return commandLineError("option takes no value:", word, nullptr);
            if (viewGiven && cl->view != v.view)
                return commandLineError("only one of --lists, --json and --dot may be given",
                                        nullptr, nullptr);
            viewGiven = true;
            cl->view = v.view;
        }
        if (known)
            continue;
        if (is("--help") || is("--version")) {
            if (eq != nullptr)
                return commandLineError("option takes no value:", word, nullptr);
            (is("--help") ? cl->help : cl->version) = true;
            continue;
        }
        if (!is("--offset") && !is("--base"))
            return commandLineError("unknown option", word, nullptr);

        const char *value = eq != nullptr ? eq + 1 : (i + 1 < argc ? argv[++i] : nullptr);
        if (value == nullptr)
            return commandLineError("option needs a value:", word, nullptr);
        unsigned long long v = 0;
        const char *why = nullptr;
        if (is("--offset")) {
            // As far as a file can be sought on any host: 2^63 - 1.
            if (!parseNumber(value, false, 0x7fffffffffffffffull, &v, &why))
                return commandLineError("invalid offset", value, why);
            cl->offset = v;
        } else {
            if (!parseNumber(value, true, 0xffffffffffffffffull, &v, &why))
                return commandLineError("invalid base", value, why);
            if (v == 0)
                return commandLineError("invalid base", value,
                                        "slot 0 cannot lie at address 0, where a link to it "
                                        "would read as a list's end");
            if (!validBase(v))
                return commandLineError("invalid base", value,
                                        "the 896-byte table would pass 2^32 (the highest base "
                                        "is fffffc80)");
            cl->haveBase = true;
            cl->base = static_cast<u32>(v);
        }
    }
    if (cl->help || cl->version)
        return 0;
    if (i >= argc)
        return commandLineError("no FILE after the options", nullptr, nullptr);
    cl->file = argv[i];
    return 0;
}

static void printUsage(const char *name)
{
    printf("Usage: %s <file>\n", name);
    printf("Total size of timers area = %u bytes\n", static_cast<unsigned>(sizeof __timers));
}

static void printHelp(const char *name)
{
    printf("Usage: %s [OPTION]... [--] FILE\n", name);
    printf("Print the timer table of a ZET target from a raw dump: 32 records of 28 bytes,\n"
           "%u bytes of big-endian words. With no option, a report of all 32 slots.\n"
           "\n"
           "  --lists        the timer lists in link order, then the problems found\n"
           "  --json         the whole table, its lists and problems as one JSON object\n"
           "  --dot          the lists as a Graphviz graph\n"
           "  --offset N     the timer area starts N bytes into FILE (decimal, or hex with 0x)\n"
           "  --base ADDR    the target address of slot 0 (hex, 0x optional); default: inferred\n"
           "  --help         print this help and exit\n"
           "  --version      print the version and exit\n"
           "\n"
           "Options come before FILE; the words after it are ignored. A FILE whose name\n"
           "begins with '-' is given as ./-x or after --.\n"
           "Exit status: 0 done, 1 error, 2 bad command line, 3 a view found problems.\n",
           static_cast<unsigned>(sizeof __timers));
}

// Drop the bytes before the timer area: seek in a file on disk, read and
// drop from a pipe or a device. An offset past the end leaves nothing to
// read, as an empty file. Returns -1 on a read error.
static int skipTo(FILE *stream, unsigned long long offset)
{
    if (offset == 0 || seekDump(stream, offset) == 0)
        return 0;
    static char drop[4096];
    while (offset > 0) {
        size_t want = offset < sizeof drop ? static_cast<size_t>(offset) : sizeof drop;
        size_t got = fread(drop, 1, want, stream);
        offset -= got;
        if (got < want)
            return ferror(stream) ? -1 : 0;
    }
    return 0;
}

// Load the dump and print what the command line asked for. Returns the run's
// status: 0, 3 when a view found problems, -1 on a read error.
static int show(const CommandLine &cl, FILE *stream)
{
    if (cl.view == VIEW_REPORT || cl.view == VIEW_LISTS) {
        // An empty file gets the loader's line, and no report or lists.
        if (initTimers(stream) != 0)
            return ferror(stream) ? -1 : 0;
    } else if (readTimers(stream) < 0) {
        return -1;
    }
    if (cl.view == VIEW_REPORT) {
        __zetGetTimersUsage();
        return 0;
    }
    static TimerLists tl;
    walkTimerLists(__timers, nqueues, cl.haveBase ? &cl.base : nullptr, &tl);
    if (cl.view == VIEW_LISTS)
        printTimerLists(__timers, tl);
    else if (cl.view == VIEW_JSON)
        printTimersJson(__timers, tl);
    else
        printTimersDot(__timers, tl);
    return tl.nproblems > 0 ? 3 : 0;
}

// The last printf may land in the buffer while the real write fails later
// (a full disk, a closed descriptor): flush and check before claiming success.
// A write can also fail mid-report (a non-blocking pipe that is full) and the
// final flush then succeed; the stream's error flag remembers the failure, and
// errno still holds its reason, since nothing since has failed to set another.
// A reader that went away early (dump_timers d.bin | head -2) is no error
// worth a line: the run just ends with status 1, as SIGPIPE ends it on Unix.
static int closeStdout(void)
{
    bool failed = ferror(stdout) != 0;
    int err = failed ? errno : 0;
    bool gone = failed && stdoutReaderGone();
    errno = 0;
    if (fclose(stdout) != 0 && !failed) {
        failed = true;
        err = errno;
        gone = stdoutReaderGone();
    }
    if (!failed)
        return 0;
    if (gone)
        return 1;
    if (err != 0)
        fprintf(stderr, "%s: write error: %s\n", progname, strerror(err));
    else
        fprintf(stderr, "%s: write error\n", progname);
    return 1;
}

#ifndef DUMP_TIMERS_NO_MAIN
int main(int argc, char *argv[])
{
    hostArgs(&argc, &argv);
    // An empty command line has no name to show: use our own.
    const char *name = progname;
    if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0')
        name = argv[0];
    if (argc < 2) {
        printUsage(name);
        return closeStdout();
    }

    CommandLine cl;
    if (int bad = parseCommandLine(argc, argv, &cl))
        return bad;
    if (cl.help || cl.version) {
        if (cl.help)
            printHelp(name);
        else
            printf("%s %s\n", progname, DUMP_TIMERS_VERSION);
        return closeStdout();
    }

    // The stream stays open until exit: the tool reads one file and ends.
    FILE *stream = openDump(cl.file);
    if (stream == nullptr) {
        fprintf(stderr, "%s: %s: %s\n", progname, cl.file, strerror(errno));
        return 1;
    }

    int status = skipTo(stream, cl.offset) == 0 ? show(cl, stream) : -1;
    if (status < 0) {
        fprintf(stderr, "%s: %s: %s\n", progname, cl.file, strerror(errno));
        status = 1;
    }
    if (closeStdout() != 0)
        status = 1;
    return status;
}
#endif
