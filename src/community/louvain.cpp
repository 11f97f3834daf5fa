#include "community/louvain.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>

#include "community/modularity.hpp"
#include "community/weighted_graph.hpp"
#include "graph/csr.hpp"
#include "graph/scratch.hpp"
#include "graph/weight_scale.hpp"
#include "rng/rng.hpp"

namespace knotwell {
namespace {

constexpr std::uint64_t kMaxPasses = 1000;
// A pass keeps track of pending nodes after one that moved at most 1 / kTrackRatio of them.
constexpr std::uint64_t kTrackRatio = 8;
// Levels of fewer nodes never track: their passes cost less than setting up
// the bounds (a call on a graph of a few dozen nodes took a third longer).
constexpr std::uint64_t kMinTrackedNodes = 256;
// Bounds watched one by one per community and direction.
constexpr std::size_t kWatch = 2;
// A community whose volume reaches 1 / kLargeShare of a pass's marking
// budget keeps every bound, each with its node; at most kMaxLarge of them.
constexpr std::uint64_t kLargeShare = 64;
constexpr std::size_t kMaxLarge = 255;
// With exact totals, a node listing at least this many communities keeps
// one bound on the summed decrease of all totals instead of one per
// community.
constexpr std::uint64_t kHubListed = 16;
// Levels whose lists and per-node tables take at most this many bytes sit
// in the L1 cache after the first pass: their passes skip the look-ahead
// prefetches, which there only add loads (a tenth of a call on a graph of a
// few dozen nodes).
constexpr std::uint64_t kPrefetchBytes = std::uint64_t{32} << 10;
// How far ahead in a list the gathering reads communities (and half as far
// their slots): on R-MAT graphs of 2^18 nodes and more, eight entries ahead
// left most of a miss to wait for on lists of a few dozen entries.
constexpr std::uint64_t kGatherAhead = 16;

// Tables of one level's local moving, sized by its node count. The moving
// runs on ids of type Id, 32-bit whenever the level's node count allows:
// the community table then fits the L2 cache on graphs where the 64-bit one
// would not, and the lists stream at half the bytes.
//
// Pending nodes. A node u that stayed put at its last visit stays put again
// as long as, since then, (a) no neighbour changed community, (b) no total
// of a community next to u went down too far and (c) the total of u's own
// community did not go up too far. Its choice is the first strict maximum of
//     gain(c) = weight_to[c] - (total[c] * r) / two_m     (r, two_m >= 0)
// in list order, starting from its own community, and each rounded step is
// monotone in the total: a lower total raises a gain, a higher one lowers
// it. At a stay, a pivot P between the best other gain and the own gain
// splits the slack: bounds on the totals, with room for every rounding,
// keep each other gain at most P and the own gain at least P, so u stays.
// Each community watches the kWatch highest of its neighbours' lower bounds
// (`joins`) and the kWatch lowest of its members' upper bounds (`leaves`),
// each with its node, and keeps only the extreme of the others. Bounds are
// kept as floats, in units of 2^ilogb(2m) and rounded towards the side that
// marks sooner: half the bytes of doubles, and a bound only loosens by a
// relative 2^-24, where its margin is far wider. A move
// marks, by position in the visit order, the mover and its neighbours (a); a
// total past a watched bound marks that node, one past the others' extreme
// marks the neighbours of the community's members (b) or its members (c),
// and the bounds it passed are dropped, since every node they spoke for is
// then pending. A pass visits only marked nodes, in order; a node marked
// behind the pass waits for the next. Passes and moves are those of
// visiting every node.
//
// Staying put still rounds the own total twice, (t - k) + k, which need not
// give t back. When every strength is an integer multiple of one power of
// two and their sum is below 2^52 of it, all totals are exact and a skipped
// node changes nothing; otherwise a skipped node repeats the two roundings
// and a total they change is checked like one a move changed. (A change of
// zero's sign alone changes no gain.)
//
// Marking costs up to a community's volume; while moves are many that
// exceeds the pass it saves, so a pass tracks marks only after one with few
// moves, and gives up (every node pending, the next pass full) once its
// marking passes a budget of a fraction of the arcs.
//
// On graphs with hubs a few communities hold a large share of the volume,
// and one of them passing its unwatched bounds would cost most of the
// budget, pass after pass. So each pass that starts tracking afresh names
// the communities whose volume is past a share of the budget `large`: they
// keep every bound in a max-heap on its key, and a total marks exactly the
// nodes whose bounds it passed, at one unit each. An entry is current while
// its node has not stayed put since: a node's later stay sets new bounds,
// and the communities it then did not list are ones it cannot join before
// a neighbour does, which marks it anyway. Entries of earlier stays are
// dropped when popped or swept. The heaps' entries are capped at about the
// node count (12 bytes each with 32-bit ids); a heap that would pass the cap
// with half of it current turns into a watch whose unwatched extreme is its
// highest key, which is what it was before.
template <class Id>
struct Level {
    static constexpr Id kNone = std::numeric_limits<Id>::max();

    HugeVector<Id> community;
    // Per community: its total and the weight to it from the node being
    // decided, side by side, since every community the node lists is
    // looked up in both: one cache miss instead of two.
    struct Slot {
        double to;     // 0.0 except for ids in `touched`
        double total;  // summed strength of the members
    };
    HugeVector<Slot> slot;
    std::vector<Id> touched;  // ids written for the current node
    std::uint64_t n_touched = 0;

    std::vector<std::uint64_t> pending;  // one bit per position in the visit order
    std::vector<Id> position;            // of each node in the visit order
    std::vector<Id> first, next, prev;   // each community's members, doubly linked
    // Bounds as keys that must not fall below them: a total for `joins`, its
    // negation for `leaves`, times `key_scale`; -inf is no bound.
    struct Watch {
        std::array<float, kWatch> key;
        std::array<Id, kWatch> node;
        float rest;  // the highest bound not watched
    };
    std::vector<Watch> joins, leaves;  // per community
    // Every bound of a large community and direction, with its node.
    struct Entry {
        float key;
        Id node;
        std::uint16_t stay;  // the node's `stays` when it set the bound
    };
    struct Heap {
        std::vector<Entry> entries;  // a max-heap on key
        std::uint64_t swept = 0;     // entries left by the last sweep
        bool as_watch = false;       // capped: the community's Watch stands in
    };
    // Per community: 0, or one more than its index among the large ones,
    // whose heaps are heaps[2 i] (joins) and heaps[2 i + 1] (leaves).
    std::vector<std::uint8_t> large;
    std::vector<Heap> heaps;
    std::vector<std::uint16_t> stays;  // per node: tracked stays since the bounds were cleared
    std::uint64_t heap_entries = 0;    // over all heaps
    std::uint64_t heap_cap = 0;
    // Hubs list many communities, and some of them pass unwatched bounds in
    // most passes: a hub whose join bounds sat in the watches would be
    // marked by nearly every scan. With exact totals a hub instead keeps
    // one bound on `dropped`, the sum of every decrease of any total since
    // the bounds were cleared (exact: a multiple of the strengths' unit
    // below `drop_limit`): no listed total can have fallen by more, so it
    // stays while `dropped` is below the least room any listed total had
    // above its floor at its stay. Scans of members' neighbours then skip
    // it. A min-heap holds these bounds, entries checked like the large
    // communities' ones.
    bool hubs_tracked = false;
    double dropped = 0.0, drop_limit = 0.0;
    struct HubEntry {
        double key;  // `dropped` at or past which the node is pending
        Id node;
        std::uint16_t stay;
    };
    std::vector<HubEntry> hub_heap;
    std::uint64_t hub_swept = 0;
    std::vector<std::uint8_t> hub;      // per node: its last stay kept a bound on `dropped`
    std::vector<std::uint64_t> volume;  // per community: its members' list lengths plus one each
    double key_scale = 1.0;             // 2^-ilogb(2m), exact
    bool exact_totals = false;
    bool tracking = false;    // this pass keeps `pending` exact
    bool lists_kept = false;  // `first`/`next`/`prev` and `volume` are current
    bool full_next = true;    // the next pass visits every node
    bool prefetch = true;     // untracked passes fetch ahead (see kPrefetchBytes)
    std::uint64_t ids = 0;    // every community id is below it (see compact)
    std::int64_t budget = 0;  // marking units this pass may still spend

    void mark(Id v) { pending[position[v] >> 6] |= std::uint64_t{1} << (position[v] & 63); }

    static Watch empty_watch() {
        Watch w;
        w.key.fill(-std::numeric_limits<float>::infinity());
        w.node.fill(kNone);
        w.rest = -std::numeric_limits<float>::infinity();
        return w;
    }

    // The least float at or above x (NaN stays NaN, and takes part in no
    // comparison, as before).
    static float round_up(double x) {
        constexpr double kTop = std::numeric_limits<float>::max();
        if (x > kTop) return std::numeric_limits<float>::infinity();
        if (x < -kTop)
            return x == -std::numeric_limits<double>::infinity() ? -std::numeric_limits<float>::infinity()
                                                                 : -std::numeric_limits<float>::max();
        float f = static_cast<float>(x);
        if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
        return f;
    }

    // Forgets every bound, and names the large communities from the
    // current volumes (the lists must be current). A node stays at most
    // once a pass and a level has at most kMaxPasses passes, so `stays`
    // never wraps.
    void clear_bounds(std::int64_t pass_budget) {
        const std::uint64_t n = community.size();
        joins.assign(n, empty_watch());
        leaves.assign(n, empty_watch());
        stays.assign(n, 0);
        large.assign(n, 0);
        if (hubs_tracked) {
            dropped = 0.0;
            std::vector<HubEntry>().swap(hub_heap);
            hub_swept = 0;
            hub.assign(n, 0);
        }
        heaps.clear();
        heap_entries = 0;
        heap_cap = n + 64;
        const auto least = static_cast<std::uint64_t>(pass_budget) / kLargeShare + 1;
        for (std::uint64_t c = 0; c < n && heaps.size() < 2 * kMaxLarge; ++c)
            if (volume[c] >= least) {
                heaps.resize(heaps.size() + 2);
                large[c] = static_cast<std::uint8_t>(heaps.size() / 2);
            }
    }

    // The heap of c in one direction, or null while c's Watch serves.
    Heap* heap_of(Id c, bool join) {
        if (large[c] == 0) return nullptr;
        Heap& h = heaps[2 * (large[c] - 1) + (join ? 0 : 1)];
        return h.as_watch ? nullptr : &h;
    }

    void drop(Heap& h) {
        heap_entries -= h.entries.size();
        std::vector<Entry>().swap(h.entries);
        h.swept = 0;
    }

    // Drops the entries of earlier stays.
    void sweep(Heap& h) {
        auto& e = h.entries;
        const std::uint64_t before = e.size();
        std::erase_if(e, [&](const Entry& x) { return x.stay != stays[x.node]; });
        std::make_heap(e.begin(), e.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
        heap_entries -= before - e.size();
        h.swept = e.size();
    }

    // Node u's bound (a key as for `watch`) on c; the entry of its last
    // stay, if any, is now out of date.
    void bound(Id c, bool join, Id u, double bound_total) {
        if (bound_total == -std::numeric_limits<double>::infinity()) return;
        Watch& w = join ? joins[c] : leaves[c];
        Heap* h = heap_of(c, join);
        if (h == nullptr) return watch(w, u, bound_total);
        const float key = round_up(bound_total * key_scale);
        if (std::isnan(key)) return;  // as in a Watch: compares with nothing
        // Most bounds are far: the total would have to halve (joins; most
        // are at zero) or double (leaves) to pass them. They stay unwatched,
        // in w.rest, at no cost until that happens.
        const double t = slot[c].total;
        if (join ? bound_total <= 0.5 * t : bound_total <= -2.0 * t) {
            w.rest = std::max(w.rest, key);
            return;
        }
        auto& e = h->entries;
        if (e.size() >= 2 * h->swept + 64) sweep(*h);
        if (heap_entries >= heap_cap) {
            // Sweeping all is paid for by the cap / 2 entries since the last.
            for (Heap& other : heaps) sweep(other);
            if (heap_entries >= heap_cap / 2) {
                // Every key it held becomes unwatched.
                if (!e.empty()) w.rest = std::max(w.rest, e.front().key);
                drop(*h);
                h->as_watch = true;
                return watch(w, u, bound_total);
            }
        }
        e.push_back({key, u, stays[u]});
        std::push_heap(e.begin(), e.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
        ++heap_entries;
    }

    // Node u's bound replaces the one it set at an earlier visit.
    void watch(Watch& w, Id u, double bound_total) const {
        if (bound_total == -std::numeric_limits<double>::infinity()) return;
        const float bound = round_up(bound_total * key_scale);
        std::size_t low = 0;
        for (std::size_t i = 0; i < kWatch; ++i) {
            if (w.node[i] == u) {
                w.key[i] = bound;
                return;
            }
            if (w.key[i] < w.key[low]) low = i;
        }
        if (w.key[low] < bound) {
            w.rest = std::max(w.rest, w.key[low]);
            w.key[low] = bound;
            w.node[low] = u;
        } else {
            w.rest = std::max(w.rest, bound);
        }
    }

    // Marks the watched nodes whose bound `value` passed; returns whether it
    // passed an unwatched one, after which the whole watch is dropped. A
    // value at a bound counts as past it: the scaled value may have rounded
    // onto the bound from below.
    bool passed(Watch& w, double value) {
        const double key = value * key_scale;
        if (key <= w.rest) {
            w = empty_watch();
            return true;
        }
        for (std::size_t i = 0; i < kWatch; ++i)
            if (key <= w.key[i] && w.node[i] != kNone) {
                mark(w.node[i]);
                w.key[i] = -std::numeric_limits<float>::infinity();
                w.node[i] = kNone;
            }
        return false;
    }

    // The heap counterpart of `passed`: marks the current entries whose
    // bound `value` passed, one unit each.
    void passed(Heap& h, double value) {
        const double key = value * key_scale;
        auto& e = h.entries;
        while (!e.empty() && key <= e.front().key) {
            const Entry top = e.front();
            std::pop_heap(e.begin(), e.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
            e.pop_back();
            --heap_entries;
            if (top.stay == stays[top.node]) mark(top.node);
            --budget;
        }
        if (budget < 0) give_up();
    }

    static bool later(const HubEntry& a, const HubEntry& b) { return a.key > b.key; }

    // Node u stays while `dropped` is below `at`.
    void hub_bound(Id u, double at) {
        if (hub_heap.size() >= 2 * hub_swept + 64) {
            std::erase_if(hub_heap, [&](const HubEntry& x) { return x.stay != stays[x.node]; });
            std::make_heap(hub_heap.begin(), hub_heap.end(), later);
            hub_swept = hub_heap.size();
        }
        hub_heap.push_back({at, u, stays[u]});
        std::push_heap(hub_heap.begin(), hub_heap.end(), later);
    }

    // Some total fell by `by` (> 0): mark the hubs it may concern.
    void drop_by(double by) {
        if (dropped + by >= drop_limit) return give_up();
        dropped += by;
        while (!hub_heap.empty() && hub_heap.front().key <= dropped) {
            const HubEntry top = hub_heap.front();
            std::pop_heap(hub_heap.begin(), hub_heap.end(), later);
            hub_heap.pop_back();
            if (top.stay == stays[top.node]) mark(top.node);
            --budget;
        }
        if (budget < 0) give_up();
    }

    void give_up() {
        tracking = false;
        full_next = true;
        std::fill(pending.begin(), pending.end(), ~std::uint64_t{0});
        pending.back() = last_word_mask();
    }

    std::uint64_t last_word_mask() const {
        const std::uint64_t tail = community.size() & 63;
        return tail == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << tail) - 1;
    }

    void mark_list(const std::uint64_t* off, const Id* targets, Id u) {
        budget -= static_cast<std::int64_t>(off[u + 1] - off[u] + 1);
        for (std::uint64_t j = off[u]; j < off[u + 1]; ++j) mark(targets[j]);
    }

    // The total of c went from `before` to `after`: mark whom it concerns.
    void total_changed(const std::uint64_t* off, const Id* targets, Id c, double before, double after) {
        if (hubs_tracked && after < before) {
            drop_by(before - after);
            if (!tracking) return;
        }
        Heap* h = heap_of(c, after < before);
        if (h != nullptr && after != before) passed(*h, after < before ? after : -after);
        // The unwatched bounds of a large community mark as for any other;
        // its heap's nodes are then all marked.
        if (after < before && tracking && passed(joins[c], after)) {
            if (h != nullptr) drop(*h);
            // A scan past the budget would only end in giving up.
            if (static_cast<std::int64_t>(volume[c]) > budget) give_up();
            for (Id v = first[c]; v != kNone && tracking; v = next[v]) {
                if (hubs_tracked) {
                    budget -= static_cast<std::int64_t>(off[v + 1] - off[v] + 1);
                    for (std::uint64_t j = off[v]; j < off[v + 1]; ++j)
                        if (hub[targets[j]] == 0) mark(targets[j]);
                } else {
                    mark_list(off, targets, v);
                }
                if (budget < 0) give_up();
            }
        }
        if (after > before && tracking && passed(leaves[c], -after)) {
            if (h != nullptr) drop(*h);
            for (Id v = first[c]; v != kNone && tracking; v = next[v]) {
                mark(v);
                if (--budget < 0) give_up();
            }
        }
    }

    // Member lists and volumes from the community table, for passes that
    // keep them up to date move by move (untracked passes do not).
    void rebuild_lists(const std::uint64_t* off) {
        const std::uint64_t n = community.size();
        first.assign(n, kNone);
        next.resize(n);
        prev.resize(n);
        volume.assign(n, 0);
        for (std::uint64_t u = n; u-- > 0;) {
            const Id c = community[u];
            next[u] = first[c];
            prev[u] = kNone;
            if (first[c] != kNone) prev[first[c]] = static_cast<Id>(u);
            first[c] = static_cast<Id>(u);
            volume[c] += off[u + 1] - off[u] + 1;
        }
        lists_kept = true;
    }

    // Renumbers the communities that still have members 0, 1, ... in
    // ascending order of their ids, when at most three quarters of the `ids` in use
    // are, so that the slots in use sit together at the front of the table
    // (fewer cache lines, and in the L2 cache sooner). Only between passes
    // whose member lists and bounds are rebuilt before their next use (an
    // untracked pass leaves them stale). Nothing else depends on the ids: a
    // node only joins communities it lists, so an emptied one is never met
    // again; ties go by list order; and the level's labels are renumbered
    // by first appearance. Totals and weights move with their community,
    // unchanged.
    void compact() {
        for (std::uint64_t t = 0; t < n_touched; ++t) slot[touched[t]].to = 0.0;
        n_touched = 0;
        std::vector<Id> renamed(ids, kNone);
        for (const Id c : community) renamed[c] = 0;
        std::uint64_t live = 0;
        for (std::uint64_t c = 0; c < ids; ++c)
            if (renamed[c] == 0) renamed[c] = static_cast<Id>(live++);
        if (4 * live > 3 * ids) return;
        // New ids are never above old ones, and ascend with them: moving
        // slots in ascending order never overwrites one still to move.
        for (std::uint64_t c = 0; c < ids; ++c)
            if (renamed[c] != kNone) slot[renamed[c]] = slot[c];
        for (Id& c : community) c = renamed[c];
        ids = live;
    }

    // Frees every table; the next level sizes them afresh for its nodes.
    void release() { *this = Level(); }

    // Frees every table but `community`, which the level's result is read
    // from.
    void release_all_but_community() {
        auto kept = std::move(community);
        release();
        community = std::move(kept);
    }

    void relink(Id u, Id from, Id to, std::uint64_t units) {
        volume[from] -= units;
        volume[to] += units;
        if (prev[u] == kNone) {
            first[from] = next[u];
        } else {
            next[prev[u]] = next[u];
        }
        if (next[u] != kNone) prev[next[u]] = prev[u];
        prev[u] = kNone;
        next[u] = first[to];
        if (first[to] != kNone) prev[first[to]] = u;
        first[to] = u;
    }
};

// Whether community totals stay exact: every strength a non-negative
// integer multiple of 2^e (e the lowest set bit over all of them) and their
// sum at most 2^52 times 2^e.
bool exact_totals(std::span<const double> strength, int* unit = nullptr) {
    int low = std::numeric_limits<int>::max();
    double sum = 0.0;
    for (const double s : strength) {
        if (std::signbit(s) || !std::isfinite(s)) return false;
        if (s == 0.0) continue;
        int ex = 0;
        const double m = std::frexp(s, &ex);
        const auto bits = static_cast<std::uint64_t>(std::ldexp(m, 53));
        low = std::min(low, ex - 53 + std::countr_zero(bits));
        sum += s;
    }
    if (unit != nullptr) *unit = low;
    return low == std::numeric_limits<int>::max() || std::ldexp(sum, -low) <= 0x1p52;
}

// Bounds for a node that stays in `own` with gain `own_gain` (its own total
// already less its strength k), against the communities it listed: see the
// comment on Level. Every bound leaves a relative margin of 2^-40, far above
// the few roundings of a gain (each below 2^-53); a slack too thin, or so
// small that a subnormal step could round it away, leaves no room at all.
template <class Id>
[[gnu::noinline]] void record_slack(Level<Id>& lv, Id u, Id own, double k, double r, double two_m, double own_gain) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kUp = 1.0 + 0x1p-40, kDown = 1.0 - 0x1p-40;
    constexpr double kThin = 0x1p-900;
    const auto* slot = lv.slot.data();
    ++lv.stays[u];
    double other = -kInf;  // best gain elsewhere
    for (std::uint64_t t = 0; t < lv.n_touched; ++t) {
        const Id c = lv.touched[t];
        if (c != own) other = std::max(other, slot[c].to - (slot[c].total * r) / two_m);
    }
    if (other == -kInf) return;  // nothing else listed: nothing to join
    // (Never false for a stay with finite gains; kept for the proof's sake.)
    const bool usable = other <= own_gain;
    const double pivot = usable ? std::clamp(0.5 * other + 0.5 * own_gain, other, own_gain) : 0.0;
    auto thin = [&](double x) { return !usable || x < kThin || x * two_m < kThin; };
    // gain(c) <= pivot once (total * r) / two_m >= weight_to[c] - pivot.
    const double per_gain = r > 0.0 ? two_m / r : kInf;
    auto floor_of = [&](Id c) {
        const double need = slot[c].to - pivot;
        double floor = usable ? 0.0 : kInf;
        if (need > 0.0) floor = thin(need) ? kInf : need * per_gain * kUp;
        return floor;
    };
    if (lv.hubs_tracked) lv.hub[u] = 0;
    bool as_hub = false;
    if (lv.hubs_tracked && lv.n_touched >= kHubListed) {
        // The least room above a floor; the rounded difference may be
        // 2^-53 above the true one, the margin covers it, and rounding the
        // key down keeps the bound below the true room. A floor of zero
        // needs none: weight_to[c] <= pivot, so c cannot win even empty
        // (exact totals are never below zero).
        double room = kInf;
        for (std::uint64_t t = 0; t < lv.n_touched && room > 0.0; ++t) {
            const Id c = lv.touched[t];
            if (c == own) continue;
            const double floor = floor_of(c);
            if (floor != 0.0) room = std::min(room, (slot[c].total - floor) * (1.0 - 0x1p-50));
        }
        if (room == kInf) {
            as_hub = true;
            lv.hub[u] = 1;
        } else if (room > 0.0) {
            as_hub = true;
            lv.hub[u] = 1;
            lv.hub_bound(u, std::nextafter(lv.dropped + room, -kInf));
        }
    }
    for (std::uint64_t t = 0; t < lv.n_touched && !as_hub; ++t) {
        const Id c = lv.touched[t];
        if (c != own) lv.bound(c, true, u, floor_of(c));
    }
    // The own gain stays >= pivot while ((total - k) * r) / two_m <= slack.
    const double slack = slot[own].to - pivot;
    double ceiling = usable ? kInf : -kInf;
    if (r > 0.0) ceiling = thin(slack) ? -kInf : (k + slack * per_gain * kDown) * (1.0 - 0x1p-50);
    lv.bound(own, false, u, -ceiling);
}

// Decides u: moves it to the first community of largest gain (its own
// unless another is strictly better); returns that community.
template <class Id, bool Prefetch = true>
Id decide(const WeightedGraph<Id>& g, const Id* targets, Id u, double resolution, double two_m, Level<Id>& lv,
          double& best_before) {
    Id* community = lv.community.data();
    auto* slot = lv.slot.data();
    Id* touched = lv.touched.data();
    const std::uint64_t* off = g.lists.offsets.data();
    const double k_u = g.strength[u];
    const Id c_old = community[u];
    for (std::uint64_t t = 0; t < lv.n_touched; ++t) slot[touched[t]].to = 0.0;
    lv.n_touched = gather_by_key<Id, Prefetch, kGatherAhead>(
        off[u], off[u + 1], targets, g.lists.weights.data(), community, [slot](Id c) -> double& { return slot[c].to; },
        touched);
    slot[c_old].total -= k_u;

    const double r = resolution * k_u;
    Id best = c_old;
    double best_gain = slot[c_old].to - (slot[c_old].total * r) / two_m;
    for (std::uint64_t t = 0; t < lv.n_touched; ++t) {
        const Id c = touched[t];
        if (c == c_old) continue;
        // gain = to - x with x >= 0 cannot beat a best gain of at least
        // `to`: skip the division.
        const double to = slot[c].to, total = slot[c].total;
        if (to <= best_gain && total >= 0.0) continue;
        const double gain = to - (total * r) / two_m;
        if (gain > best_gain) {
            best = c;
            best_gain = gain;
        }
    }
    if (lv.tracking && best == c_old) record_slack(lv, u, c_old, k_u, r, two_m, best_gain);
    best_before = slot[best].total;
    slot[best].total += k_u;
    community[u] = best;
    return best;
}

// The node at position i of the order: decided when pending, otherwise
// (inexact totals only) its own total rounded as a stay would round it.
// Returns whether it moved.
template <class Id>
bool step(const WeightedGraph<Id>& g, const Id* targets, Id u, bool visit, double resolution, double two_m,
          Level<Id>& lv) {
    const std::uint64_t* off = g.lists.offsets.data();
    auto* slot = lv.slot.data();
    const Id c_old = lv.community[u];
    const double before_old = slot[c_old].total;
    if (!visit) {
        const double k_u = g.strength[u];
        slot[c_old].total -= k_u;
        slot[c_old].total += k_u;
        if (lv.tracking) lv.total_changed(off, targets, c_old, before_old, slot[c_old].total);
        return false;
    }
    double best_before = 0.0;
    const Id best = decide(g, targets, u, resolution, two_m, lv, best_before);
    if (best == c_old) {
        if (lv.tracking) lv.total_changed(off, targets, c_old, before_old, slot[c_old].total);
        return false;
    }
    if (lv.lists_kept) lv.relink(u, c_old, best, off[u + 1] - off[u] + 1);
    if (lv.tracking) {
        lv.mark(u);
        lv.mark_list(off, targets, u);
        lv.total_changed(off, targets, c_old, before_old, slot[c_old].total);
        lv.total_changed(off, targets, best, best_before, slot[best].total);
        if (lv.budget < 0) lv.give_up();
    }
    return true;
}

// One pass over the pending nodes of `order`; returns the number of nodes
// that changed community.
template <class Id>
std::uint64_t move_nodes(const WeightedGraph<Id>& g, const Id* targets, std::span<const Id> order, double resolution,
                         double two_m, bool track, Level<Id>& lv) {
    const Id* community = lv.community.data();
    const std::uint64_t* off = g.lists.offsets.data();
    const std::uint64_t len = order.size();
    std::uint64_t moves = 0;
    parallel::InterruptPoll poll;
    // When the whole pass is ahead, the nodes to come are known. The order
    // is random, so each list starts with a cache miss, and so does each
    // entry's community and that community's slot, and the node's own
    // strength and community: fetch the offsets six nodes ahead, the node's
    // strength and community four ahead, the list three ahead, the
    // communities of the first eight entries two ahead, and their slots one
    // ahead. Always inlined: as a
    // call, the same prefetches cost more than they save.
    const double* weights = g.lists.weights.data();
    const auto* slot = lv.slot.data();
    auto prefetch = [&](std::uint64_t i) __attribute__((always_inline)) {
        if (i + 6 < len) __builtin_prefetch(off + order[i + 6]);
        if (i + 4 < len) {
            __builtin_prefetch(g.strength.data() + order[i + 4]);
            __builtin_prefetch(community + order[i + 4]);
        }
        if (i + 3 < len) prefetch_list(off[order[i + 3]], off[order[i + 3] + 1], targets, weights);
        if (i + 2 < len) {
            const std::uint64_t v = order[i + 2];
            const std::uint64_t b = off[v], e = std::min(off[v + 1], b + 8);
            for (std::uint64_t j = b; j < e; ++j) __builtin_prefetch(community + targets[j]);
        }
        if (i + 1 < len) {
            const std::uint64_t v = order[i + 1];
            const std::uint64_t b = off[v], e = std::min(off[v + 1], b + 8);
            for (std::uint64_t j = b; j < e; ++j) __builtin_prefetch(slot + community[targets[j]]);
        }
    };
    if (!track) {
        // Every node, nothing kept: the next pass is full too, and the
        // member lists go stale.
        lv.tracking = false;
        lv.lists_kept = false;
        lv.full_next = true;
        // Levels that sit in the L1 cache skip every look-ahead (see kPrefetchBytes).
        const auto visit_all = [&]<bool kPrefetch>() {
            for (std::uint64_t i = 0; i < len; ++i) {
                const auto u = static_cast<Id>(order[i]);
                poll.tick(off[u + 1] - off[u] + 1);
                if constexpr (kPrefetch) prefetch(i);
                const Id c_old = lv.community[u];
                double best_before = 0.0;
                moves += decide<Id, kPrefetch>(g, targets, u, resolution, two_m, lv, best_before) != c_old;
            }
            return moves;
        };
        return lv.prefetch ? visit_all.template operator()<true>() : visit_all.template operator()<false>();
    }
    const bool full = lv.full_next;
    if (!lv.lists_kept) lv.rebuild_lists(off);
    lv.budget = static_cast<std::int64_t>(off[len] / 4 + len);
    if (full) {
        lv.give_up();
        lv.clear_bounds(lv.budget);
    }
    lv.tracking = true;
    lv.full_next = false;
    std::uint64_t* pending = lv.pending.data();
    if (lv.exact_totals) {
        // Only pending positions; a bit set behind the cursor of its word
        // waits for the next pass.
        for (std::uint64_t w = 0; w < lv.pending.size(); ++w) {
            std::uint64_t behind = 0;
            for (std::uint64_t bits; (bits = pending[w] & ~behind) != 0;) {
                const std::uint64_t low = bits & (~bits + 1);
                behind |= low | (low - 1);
                pending[w] &= ~low;
                const std::uint64_t i = w * 64 + static_cast<std::uint64_t>(std::countr_zero(low));
                const auto u = static_cast<Id>(order[i]);
                poll.tick(off[u + 1] - off[u] + 1);
                if (full) prefetch(i);
                moves += step(g, targets, u, true, resolution, two_m, lv);
            }
        }
    } else {
        for (std::uint64_t i = 0; i < len; ++i) {
            const std::uint64_t bit = std::uint64_t{1} << (i & 63);
            const bool visit = (pending[i >> 6] & bit) != 0;
            pending[i >> 6] &= ~bit;
            const auto u = static_cast<Id>(order[i]);
            poll.tick(visit ? off[u + 1] - off[u] + 1 : 1);
            if (full) prefetch(i);
            moves += step(g, targets, u, visit, resolution, two_m, lv);
        }
    }
    return moves;
}

// Local moving of one level until a pass moves nothing (or the pass limit);
// leaves each node's community in `node_community`.
template <class Id>
void local_moving(const WeightedGraph<Id>& g, double resolution, double two_m, std::optional<SplitMix64>& stream,
                  Level<Id>& lv, std::vector<std::uint64_t>& node_community) {
    const std::uint64_t n = g.node_count();
    const Id* targets = g.lists.targets.data();
    lv.community.resize(n);
    std::iota(lv.community.begin(), lv.community.end(), Id{0});
    lv.slot.resize(n);
    for (std::uint64_t i = 0; i < n; ++i) lv.slot[i] = {0.0, 0.0 + g.strength[i]};
    lv.touched.assign(max_list_length(g.lists), 0);
    lv.n_touched = 0;

    std::vector<Id> order(n);
    std::iota(order.begin(), order.end(), Id{0});
    if (stream) stream->shuffle(std::span<Id>(order));

    const bool may_track = n >= kMinTrackedNodes;
    if (may_track) {
        lv.position.resize(n);
        for (std::uint64_t i = 0; i < n; ++i) lv.position[order[i]] = static_cast<Id>(i);
        lv.pending.assign((n + 63) / 64, 0);
    }
    lv.lists_kept = false;  // the tracking tables are sized when first used
    lv.full_next = true;
    const std::uint64_t level_bytes = g.lists.offsets[n] * (sizeof(Id) + sizeof(double)) +
                                      n * (sizeof(typename Level<Id>::Slot) + sizeof(Id) + 2 * sizeof(std::uint64_t));
    lv.prefetch = level_bytes > kPrefetchBytes;
    lv.ids = n;
    int unit = 0;
    lv.exact_totals = may_track && exact_totals(g.strength, &unit);
    // All strengths zero: no total ever falls.
    lv.hubs_tracked = lv.exact_totals && unit != std::numeric_limits<int>::max();
    if (lv.hubs_tracked) lv.drop_limit = std::ldexp(1.0, std::min(unit + 52, 1000));
    lv.key_scale = std::ldexp(1.0, -std::clamp(std::ilogb(two_m), -1000, 1000));

    // Tracking starts once a pass moves at most n / ratio nodes; a tracked
    // pass that gave up raises the ratio, so marking that keeps costing
    // more than it saves is not retried pass after pass.
    std::uint64_t moves = n, ratio = kTrackRatio;
    for (std::uint64_t pass = 0; pass < kMaxPasses; ++pass) {
        const bool track = may_track && moves <= n / ratio;
        moves = move_nodes<Id>(g, targets, order, resolution, two_m, track, lv);
        if (track && lv.full_next) ratio = std::min<std::uint64_t>(ratio * 16, std::uint64_t{1} << 60);
        if (moves == 0) break;
        // O(n), against a pass's O(n + m); levels that never track fit the
        // cache as they are.
        if (!track && may_track) lv.compact();
    }
    // The widened copy is made once the other tables are gone: it is the
    // last table of the level, not one more at its peak.
    std::vector<Id>().swap(order);
    lv.release_all_but_community();
    node_community.assign(lv.community.begin(), lv.community.end());
    lv.release();
}

// One node per community (ids 0..k-1): internal edges become self-loop
// weight (half from each end), the others are re-listed between
// communities. The members of each community are visited in ascending node
// order, each list in list order, which is the order in which the arcs of
// the community's list are met, and `group_by_source` sums them with a
// dense accumulator. No memory per arc besides the coarse lists: on graphs
// that coarsen well most arcs cross communities at the first level, and
// grouping them (16 bytes an arc, twice) would cost several times the fine
// graph for a coarse graph a fraction of its size. A first pass counts the
// coarse lists' entries, so that they are allocated once at their size:
// grown by doubling they would reach up to twice it, and three times while
// the last growth copies them, beside the whole fine graph.
template <class Id>
WeightedGraph<Id> coarsen(const WeightedGraph<Id>& g, std::span<const std::uint64_t> community, std::uint64_t k) {
    const std::uint64_t n = g.node_count();
    std::vector<std::uint64_t> start(k + 1, 0);
    for (std::uint64_t i = 0; i < n; ++i) ++start[community[i] + 1];
    for (std::uint64_t c = 0; c < k; ++c) start[c + 1] += start[c];
    std::vector<Id> members(n);
    {
        std::vector<std::uint64_t> fill(start.begin(), start.end() - 1);
        for (std::uint64_t i = 0; i < n; ++i) members[fill[community[i]]++] = static_cast<Id>(i);
    }

    const std::uint64_t* off = g.lists.offsets.data();
    const Id* targets = g.lists.targets.data();
    const double* weights = g.lists.weights.data();
    constexpr std::uint64_t kAhead = 4;
    // Members in community order are scattered over the lists: fetch the
    // list of the member kAhead ahead, then the communities of the first
    // entries of the one two ahead, and within a list eight entries ahead.
    const auto prefetch_member = [&](std::uint64_t m) {
        if (m + kAhead < n) {
            const std::uint64_t b = off[members[m + kAhead]];
            __builtin_prefetch(targets + b);
            __builtin_prefetch(weights + b);
        }
        if (m + 2 < n) {
            const Id v = members[m + 2];
            const std::uint64_t b = off[v], e = std::min(off[v + 1], b + 8);
            for (std::uint64_t j = b; j < e; ++j) __builtin_prefetch(community.data() + targets[j]);
        }
    };
    parallel::InterruptPoll poll;
    // Each community's distinct neighbouring communities; mark[d] == c once
    // d is counted for c, k (no community) at first.
    std::uint64_t coarse_arcs = 0;
    {
        std::vector<Id> mark(k, static_cast<Id>(k));
        for (std::uint64_t c = 0; c < k; ++c) {
            poll.tick(start[c + 1] - start[c] + 1);
            for (std::uint64_t m = start[c]; m < start[c + 1]; ++m) {
                prefetch_member(m);
                const Id i = members[m];
                for (std::uint64_t j = off[i]; j < off[i + 1]; ++j) {
                    if (j + 8 < off[i + 1]) __builtin_prefetch(community.data() + targets[j + 8]);
                    const std::uint64_t d = community[targets[j]];
                    if (d != c && mark[d] != c) {
                        mark[d] = static_cast<Id>(c);
                        ++coarse_arcs;
                    }
                }
            }
        }
    }

    WeightedGraph<Id> coarse;
    coarse.total_weight = g.total_weight;
    coarse.self_loop_weight.assign(k, 0.0);
    coarse.lists = group_by_source<Id>(
        k,
        [&](std::uint64_t c, auto&& emit) {
            poll.tick(start[c + 1] - start[c] + 1);
            double self = 0.0;
            for (std::uint64_t m = start[c]; m < start[c + 1]; ++m) {
                prefetch_member(m);
                const Id i = members[m];
                self = self + g.self_loop_weight[i];
                for (std::uint64_t j = off[i]; j < off[i + 1]; ++j) {
                    if (j + 8 < off[i + 1]) __builtin_prefetch(community.data() + targets[j + 8]);
                    const std::uint64_t c_v = community[targets[j]];
                    if (c_v == c)
                        self += weights[j] * 0.5;
                    else
                        emit(c_v, weights[j]);
                }
            }
            coarse.self_loop_weight[c] = self;
        },
        coarse_arcs);
    compute_strengths(coarse);
    return coarse;
}

Check check_louvain(const OwnedRows& edges, const std::optional<std::vector<double>>& weights, double resolution,
                    std::uint64_t max_levels) {
    if (auto err = check_weighted_edges(edges, weights)) return err;
    if (!is_positive_finite(resolution)) return InputError::bad_parameter("resolution", kResolutionRequirement);
    if (max_levels == 0) return InputError::bad_parameter("max_levels", "must be at least 1");
    return std::nullopt;
}

}  // namespace

Result<LouvainResult> louvain(OwnedRows&& edges, const std::optional<std::vector<double>>& weights, double resolution,
                              std::optional<std::uint64_t> seed, std::uint64_t max_levels) {
    if (auto err = check_louvain(edges, weights, resolution, max_levels)) return *err;
    const std::uint64_t n = edges.n();

    // Exact power-of-two rescaling keeps every gain within the double range;
    // labels and modularity are those of the unscaled weights.
    const int scale = weight_scale_exponent(edges.size(), weight_span(weights), resolution, WeightExposure::Gains);
    // The labels stay the identity until a level is counted, and are only
    // allocated then, after the first level's tables, as ids of type Id
    // until the levels end (or at the end).
    LouvainResult result;
    result.n_communities = n;
    const auto identity_labels = [&] {
        result.labels.resize(n);
        std::iota(result.labels.begin(), result.labels.end(), std::uint64_t{0});
    };
    // Unweighted, every weight is a whole number of units and every sum the
    // modularity forms is a multiple of half a unit below 2^52 of them, so
    // exact: each community's internal weight and total strength are then
    // the self-loop weight and strength of its node in the last coarse
    // graph, whatever the order of additions, and the input graph is freed
    // once the first level is coarsened.
    const bool exact_sums = !weights && edges.size() < (std::uint64_t{1} << 49);
    with_id_type(n, [&]<class Id>() {
        WeightedGraph<Id> input = build_weighted_graph<Id>(std::move(edges), weights, scale);
        if (n == 0 || !(input.total_weight > 0.0)) return identity_labels();

        std::optional<SplitMix64> stream;
        if (seed) stream.emplace(*seed);
        const double m = input.total_weight;
        const double two_m = m + m;

        // The first level reads the input graph itself; it is never changed.
        const WeightedGraph<Id>* work = &input;
        WeightedGraph<Id> coarse;
        std::vector<std::uint64_t> community;
        std::vector<Id> labels;
        Level<Id> lv;
        while (result.n_levels < max_levels) {
            local_moving(*work, resolution, two_m, stream, lv, community);
            const std::uint64_t k = relabel_by_first_appearance(community, work->node_count());
            if (k == work->node_count()) break;
            if (result.n_levels++ == 0)
                labels.assign(community.begin(), community.end());
            else
                for (Id& label : labels) label = static_cast<Id>(community[label]);
            WeightedGraph<Id> next = coarsen(*work, community, k);
            coarse = std::move(next);
            work = &coarse;
            // Rewritten at the next level's end: not held through its moving.
            std::vector<std::uint64_t>().swap(community);
            if (exact_sums) input = WeightedGraph<Id>();
        }
        std::vector<std::uint64_t>().swap(community);
        result.labels.assign(labels.begin(), labels.end());
        std::vector<Id>().swap(labels);
        if (result.n_levels == 0) {
            coarse = WeightedGraph<Id>();
            identity_labels();
            result.n_communities = relabel_by_first_appearance(result.labels, n);
            result.modularity = partition_modularity(input, result.labels, resolution);
        } else if (!exact_sums) {
            coarse = WeightedGraph<Id>();
            result.n_communities = relabel_by_first_appearance(result.labels, n);
            result.modularity = partition_modularity(input, result.labels, resolution);
        } else {
            // The labels name the nodes of the last coarse graph until they
            // are renumbered.
            const std::vector<std::uint64_t> node = result.labels;
            result.n_communities = relabel_by_first_appearance(result.labels, n);
            std::vector<double> internal(result.n_communities), total(result.n_communities);
            for (std::uint64_t i = 0; i < n; ++i) {
                internal[result.labels[i]] = coarse.self_loop_weight[node[i]];
                total[result.labels[i]] = coarse.strength[node[i]];
            }
            result.modularity = modularity_from_sums(internal, total, m, resolution);
        }
    });
    return result;
}

}  // namespace knotwell
