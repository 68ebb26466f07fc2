// A peer's ledger: the work its packets start on any queue is charged to
// it, hops included, given back when done, bounded, and dropped where the
// queue serves only Viewers once the peer is gone.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/HeldPool.h"
#include "Platform/Runtime/HostByteTotal.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

using WorkLedgerTest = VirtualTimeTest;

TEST_F(WorkLedgerTest, WorkPostedForAPeerIsChargedWithItsHopsAndGivenBackWhenDone) {
    auto ledger = std::make_shared<WorkLedger>("192.0.2.1", 1000, 4);
    DispatchQueue first("test.first");
    DispatchQueue second("test.second");
    std::shared_ptr<WorkLedger> seenOnHop;
    size_t jobsSeenOnHop = 0;
    {
        const WorkLedger::Charged charged(ledger);
        first.async(
            [&] {
                // The hop is the same peer's work, charged while it waits.
                second.async([&] {
                    seenOnHop = WorkLedger::current();
                    jobsSeenOnHop = ledger->jobsInUse();
                });
            },
            300);
    }
    // Posted outside any peer's work: nobody's.
    first.async([] {});
    EXPECT_EQ(ledger->jobsInUse(), 1u);
    EXPECT_EQ(ledger->bytesInUse(), 300u);
    EXPECT_EQ(WorkLedger::current(), nullptr);
    runUntilIdle();
    EXPECT_EQ(seenOnHop, ledger);
    EXPECT_EQ(jobsSeenOnHop, 1u) << "the hop holds a job while it runs; its poster gave its own back";
    EXPECT_EQ(ledger->jobsInUse(), 0u);
    EXPECT_EQ(ledger->bytesInUse(), 0u);
}

TEST_F(WorkLedgerTest, APeerPastEitherBoundWaitsUntilItsWorkReturns) {
    struct Case {
        const char* name;
        size_t jobs;
        size_t bytesEach;
    };
    const Case cases[] = {{"jobs", 4, 0}, {"bytes", 2, 600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto ledger = std::make_shared<WorkLedger>("peer", 1000, 4);
        DispatchQueue held("test.held");
        held.suspend();
        int resumed = 0;
        {
            const WorkLedger::Charged charged(ledger);
            for (size_t i = 0; i < c.jobs; ++i) {
                EXPECT_FALSE(ledger->overBudget());
                held.async([] {}, c.bytesEach);
            }
        }
        EXPECT_TRUE(ledger->overBudget());
        ledger->whenUnderBudget([&] { ++resumed; });
        EXPECT_EQ(resumed, 0);
        held.resume();
        runUntilIdle();
        EXPECT_FALSE(ledger->overBudget());
        EXPECT_EQ(resumed, 1);
        ledger->whenUnderBudget([&] { ++resumed; });
        EXPECT_EQ(resumed, 2) << "under budget: at once";
    }
}

TEST_F(WorkLedgerTest, AGonePeersWaitingWorkIsDroppedWhereTheQueueServesOnlyViewers) {
    auto ledger = std::make_shared<WorkLedger>("peer", 1 << 20);
    DispatchQueue viewersOnly("test.viewers");
    viewersOnly.setDropsWorkOfGonePeers(true);
    DispatchQueue shared("test.shared");
    int ranViewersOnly = 0;
    int ranShared = 0;
    {
        const WorkLedger::Charged charged(ledger);
        for (int i = 0; i < 10; ++i) {
            viewersOnly.async([&] { ++ranViewersOnly; }, 1000);
            shared.async([&] { ++ranShared; });
        }
    }
    int resumed = 0;
    // Its wait for descriptors goes with it, and what it held for the wait.
    auto full = WorkLedger::Holding::take(ledger, WorkLedger::Held::descriptors,
                                          WorkLedger::heldBound(WorkLedger::Held::descriptors));
    ASSERT_TRUE(full);
    auto heldForTheWait = std::make_shared<int>(0);
    const std::weak_ptr<int> watched = heldForTheWait;
    ledger->whenDescriptorsGivenBack(1, [&, heldForTheWait] { ++resumed; });
    heldForTheWait.reset();
    ASSERT_FALSE(watched.expired());
    ledger->cancel();
    EXPECT_TRUE(watched.expired());
    full.reset();
    ledger->whenDescriptorsGivenBack(1, [&] { ++resumed; });
    ledger->whenUnderBudget([&] { ++resumed; });
    runUntilIdle();
    EXPECT_EQ(ranViewersOnly, 0);
    EXPECT_EQ(ranShared, 10) << "work that may keep shared state right still runs";
    EXPECT_EQ(ledger->jobsInUse(), 0u);
    EXPECT_EQ(ledger->bytesInUse(), 0u);
    EXPECT_EQ(resumed, 0) << "a gone peer is never resumed";
}

// Whatever the order of takes, growths, shrinks, moves and releases, each
// kind on each peer's ledger is exactly what its live holdings hold, never
// past the kind's bound, and zero once they are gone; the descriptors of
// all peers together are what their holdings hold, never past the
// Host-wide total, and their files and folders never into the part of it
// kept for logged-in connections.
TEST_F(WorkLedgerTest, EachKindIsWhatItsHoldersHoldAndNeverPassesItsBound) {
    std::vector<std::shared_ptr<WorkLedger>> ledgers;
    for (const char* peer : {"peer-a", "peer-b", "peer-c"})
        ledgers.push_back(std::make_shared<WorkLedger>(peer, 1 << 20));
    // Below the three peers' own bounds together, so that it is reached.
    const size_t before = WorkLedger::hostDescriptorsHeld();
    const size_t total = before + 700, kept = 48;
    WorkLedger::setHostDescriptorTotal(total, kept);
    std::mt19937 random(7);
    std::vector<WorkLedger::Holding> holdings;
    size_t refused = 0, refusedByTheTotal = 0;
    // Work that found no descriptors waits for some to be given back, takes
    // them when woken, or waits again.
    struct Waiter {
        std::shared_ptr<WorkLedger> ledger;
        size_t amount = 0;
        bool waits = true;
    };
    std::vector<std::shared_ptr<Waiter>> waiters;
    std::vector<WorkLedger::Holding> granted;
    size_t served = 0;
    // A give-back happens under its holder's locks, which a waiter's work
    // may need: it is never run on the giving thread, within the step.
    bool inStep = false, ranWithinAStep = false;
    size_t wokenForNothing = 0;
    std::function<void(std::shared_ptr<Waiter>)> wait = [&](std::shared_ptr<Waiter> waiter) {
        waiter->ledger->whenDescriptorsGivenBack(waiter->amount, [&, waiter] {
            ranWithinAStep = ranWithinAStep || inStep;
            auto taken = WorkLedger::Holding::take(waiter->ledger, WorkLedger::Held::descriptors, waiter->amount);
            if (!taken) {
                wokenForNothing += 1;
                return wait(waiter);
            }
            granted.push_back(std::move(*taken));
            waiter->waits = false;
            served += 1;
        });
    };
    const auto fits = [&](const Waiter& waiter) {
        return waiter.ledger->held(WorkLedger::Held::descriptors) + waiter.amount <=
                   WorkLedger::heldBound(WorkLedger::Held::descriptors) &&
               WorkLedger::hostDescriptorsHeld() + waiter.amount <= total - kept;
    };
    for (int step = 0; step < 20000; ++step) {
        const auto& ledger = ledgers[random() % ledgers.size()];
        const auto kind = static_cast<WorkLedger::Held>(random() % WorkLedger::kHeldKinds);
        const size_t bound = WorkLedger::heldBound(kind);
        const size_t amount = random() % 2 ? 1 : random() % (bound / 2 + 1);
        inStep = true;
        switch (random() % 7) {
            case 6:
                if (std::count_if(waiters.begin(), waiters.end(), [](const auto& w) { return w->waits; }) < 8) {
                    waiters.push_back(std::make_shared<Waiter>(Waiter{ledger, 1 + random() % 3}));
                    wait(waiters.back());
                }
                break;
            case 0:
            case 1:
                if (auto h = WorkLedger::Holding::take(ledger, kind, amount)) {
                    holdings.push_back(std::move(*h));
                } else {
                    refused += 1;
                    refusedByTheTotal += kind == WorkLedger::Held::descriptors &&
                                         WorkLedger::refusedByHostDescriptorTotal(ledger, amount);
                }
                break;
            case 2:
                if (!holdings.empty()) refused += !holdings[random() % holdings.size()].grow(amount);
                break;
            case 3:
                if (!holdings.empty()) holdings[random() % holdings.size()].shrink(amount);
                break;
            case 4:
                if (holdings.size() > 1) {
                    const size_t from = random() % holdings.size(), to = random() % holdings.size();
                    if (random() % 2) holdings[to] = std::move(holdings[from]);
                    else holdings.erase(holdings.begin() + static_cast<std::ptrdiff_t>(from));
                }
                break;
            case 5:
                if (auto socket = WorkLedger::Holding::takeForConnection(ledger))
                    holdings.push_back(std::move(*socket));
                break;
        }
        inStep = false;
        runUntilIdle();
        std::move(granted.begin(), granted.end(), std::back_inserter(holdings));
        granted.clear();
        // Nobody waits while what it waits for is there.
        for (const auto& waiter : waiters) ASSERT_FALSE(waiter->waits && fits(*waiter)) << "step " << step;
        ASSERT_FALSE(ranWithinAStep) << "step " << step;
        size_t descriptors = 0;
        for (const auto& each : ledgers) {
            for (size_t k = 0; k < WorkLedger::kHeldKinds; ++k) {
                const auto kind = static_cast<WorkLedger::Held>(k);
                size_t sum = 0;
                for (const auto& h : holdings)
                    if (h.kind() == kind && h.ledger() == each) sum += h.amount();
                ASSERT_EQ(each->held(kind), sum) << WorkLedger::heldName(kind);
                ASSERT_LE(each->held(kind), WorkLedger::heldBound(kind)) << WorkLedger::heldName(kind);
            }
            descriptors += each->held(WorkLedger::Held::descriptors);
        }
        ASSERT_EQ(WorkLedger::hostDescriptorsHeld(), before + descriptors);
        ASSERT_LE(WorkLedger::hostDescriptorsHeld(), total);
    }
    EXPECT_GT(refused, 0u) << "the bounds were reached";
    EXPECT_GT(refusedByTheTotal, 0u) << "the Host-wide total was reached";
    EXPECT_GT(served, 0u);
    // Woken when what it waits for is there, not by every give-back.
    EXPECT_LE(wokenForNothing, served);
    EXPECT_TRUE(std::any_of(waiters.begin(), waiters.end(), [&](const auto& w) { return w->waits; }) ||
                served < waiters.size())
        << "some waited";
    holdings.clear();
    runUntilIdle();
    std::move(granted.begin(), granted.end(), std::back_inserter(holdings));
    granted.clear();
    EXPECT_EQ(std::count_if(waiters.begin(), waiters.end(), [](const auto& w) { return w->waits; }), 0)
        << "everything given back, every waiter was served";
    // Full of files and folders, the total still takes a connection.
    holdings.clear();
    while (auto more = WorkLedger::Holding::take(ledgers[0], WorkLedger::Held::descriptors))
        holdings.push_back(std::move(*more));
    while (auto more = WorkLedger::Holding::take(ledgers[1], WorkLedger::Held::descriptors))
        holdings.push_back(std::move(*more));
    EXPECT_TRUE(WorkLedger::Holding::takeForConnection(ledgers[2])) << "a login's socket finds its place";
    holdings.clear();
    for (const auto& each : ledgers)
        for (size_t k = 0; k < WorkLedger::kHeldKinds; ++k) EXPECT_EQ(each->held(static_cast<WorkLedger::Held>(k)), 0u);
    EXPECT_EQ(WorkLedger::hostDescriptorsHeld(), before);
    WorkLedger::setHostDescriptorTotal(SIZE_MAX, 0);

    // Room taken ahead for later work is on the account whole; the work's
    // takes draw on it, what they give back is its again, a take past its
    // room falls to the peer, and a holding is all the peer's or all the
    // reserve's. Once all of it is gone, the account is back at zero.
    constexpr auto descriptors = WorkLedger::Held::descriptors;
    const auto& peer = ledgers[0];
    {
        auto own = WorkLedger::Holding::take(peer, descriptors, 1);
        auto reserve = WorkLedger::Reserve::take(peer, 4);
        ASSERT_TRUE(own && reserve);
        EXPECT_EQ(peer->held(descriptors), 5u);
        EXPECT_EQ(peer->descriptorsReservedIdle(), 4u);
        std::optional<WorkLedger::Holding> drawn, past;
        {
            const WorkLedger::Reserve::Use use(reserve);
            drawn = WorkLedger::Holding::take(peer, descriptors, 3);
            past = WorkLedger::Holding::take(peer, descriptors, 2);
            EXPECT_TRUE(own->grow(1)) << "the peer's own grows from the peer";
        }
        ASSERT_TRUE(drawn && past);
        EXPECT_EQ(peer->held(descriptors), 8u) << "1+1 own, 4 reserved (3 drawn), 2 past the reserve";
        EXPECT_EQ(peer->descriptorsReservedIdle(), 1u);
        drawn->shrink(1);
        EXPECT_EQ(peer->descriptorsReservedIdle(), 2u) << "given back to the reserve, not to the peer";
        EXPECT_EQ(peer->held(descriptors), 8u);
        reserve.reset();
        EXPECT_EQ(peer->held(descriptors), 8u) << "held by what was drawn from it";
        drawn.reset();
        EXPECT_EQ(peer->held(descriptors), 4u) << "own 2, past 2";
        EXPECT_EQ(peer->descriptorsReservedIdle(), 0u);
    }
    EXPECT_EQ(peer->held(descriptors), 0u);
    EXPECT_EQ(WorkLedger::hostDescriptorsHeld(), before);

    // Of a Host total of 20, 4 kept for logins and 10 for moves: work that
    // fills the rest leaves a reserve room for one copy's moves, and no
    // more; a move waiting for room is woken by what frees it, and a login
    // still gets in.
    WorkLedger::setHostDescriptorTotal(before + 20, 4, 10);
    {
        std::vector<WorkLedger::Holding> work;
        while (auto more = WorkLedger::Holding::take(ledgers[1], descriptors)) work.push_back(std::move(*more));
        EXPECT_EQ(work.size(), 6u);
        EXPECT_FALSE(peer->descriptorsWouldFit(1));
        auto moves = WorkLedger::Reserve::take(peer, 10);
        EXPECT_TRUE(moves);
        EXPECT_FALSE(WorkLedger::Reserve::take(peer, 1)) << "no more than the part kept for moves";
        size_t woken = 0;
        peer->whenDescriptorsGivenBack(10, [&] { ++woken; }, {}, true);
        runUntilIdle();
        EXPECT_EQ(woken, 0u);
        EXPECT_TRUE(WorkLedger::Holding::takeForConnection(ledgers[2])) << "a login still gets in";
        moves.reset();
        runUntilIdle();
        EXPECT_EQ(woken, 1u);
        EXPECT_TRUE(WorkLedger::Reserve::take(peer, 10));
    }
    EXPECT_EQ(WorkLedger::hostDescriptorsHeld(), before);
    // Reserves that fit the work's part leave the part kept for moves
    // whole: two there, a third still finds its room.
    WorkLedger::setHostDescriptorTotal(before + 40, 0, 16);
    {
        auto first = WorkLedger::Reserve::take(ledgers[0], 12), second = WorkLedger::Reserve::take(ledgers[1], 12);
        ASSERT_TRUE(first && second);
        EXPECT_TRUE(ledgers[2]->descriptorsWouldFit(12, true));
        auto third = WorkLedger::Reserve::take(ledgers[2], 12);
        EXPECT_TRUE(third);
        EXPECT_FALSE(WorkLedger::Reserve::take(ledgers[2], 5)) << "4 left of the part kept for moves";
        first.reset();
        EXPECT_TRUE(WorkLedger::Reserve::take(ledgers[2], 12)) << "given back, the work's part takes it again";
    }
    EXPECT_EQ(WorkLedger::hostDescriptorsHeld(), before);
    WorkLedger::setHostDescriptorTotal(SIZE_MAX, 0);
    // The Host's own work holds nothing and is never refused.
    auto own = WorkLedger::Holding::take(nullptr, WorkLedger::Held::batches, 1000);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->amount(), 0u);
}

// Peers of three machines (two addresses of one /64 among them) share a
// Host-wide pool of batch places. Two machines together never take it all:
// a third finds places left, and past a machine's share its peers wait, as
// past their own places. A place given back goes to the waiting machine
// holding the fewest, and a peer that leaves gives up its wait, so the
// others' shares grow. After every step the pool holds what the peers' accounts do.
TEST(WorkLedgerHoldings, AHostWidePoolLeavesAThirdMachineItsShareAndHandsFreedPlacesToWhoHoldsFewest) {
    using Held = WorkLedger::Held;
    constexpr auto kind = Held::batches;
    auto pool = std::make_shared<HeldPool>(32);
    struct Peer {
        std::shared_ptr<WorkLedger> ledger;
        std::vector<WorkLedger::Holding> places;
    };
    std::map<std::string, Peer> peers;
    auto join = [&](const std::string& name, const std::string& machine) {
        auto ledger = std::make_shared<WorkLedger>(name, 1 << 20);
        ledger->shareHostWide(kind, pool, machine);
        peers[name].ledger = ledger;
    };
    join("2001:db8::1", "2001:db8::/64");
    join("2001:db8::2", "2001:db8::/64");
    join("192.0.2.7", "192.0.2.7");
    join("198.51.100.9", "198.51.100.9");
    auto ask = [&](const std::string& name, size_t count) {
        for (size_t i = 0; i < count; ++i)
            peers[name].ledger->whenHeldFree(kind, [&peers, name](WorkLedger::Holding place) {
                peers[name].places.push_back(std::move(place));
            });
    };
    auto accountsAgree = [&] {
        size_t sum = 0;
        for (auto& [name, peer] : peers) {
            EXPECT_EQ(peer.ledger->held(kind), peer.places.size()) << name;
            sum += peer.ledger->held(kind);
        }
        EXPECT_EQ(pool->held(), sum);
        EXPECT_LE(pool->held(), pool->total());
    };
    auto placesOf = [&](const std::string& name) { return peers[name].places.size(); };
    auto giveBack = [&](const std::string& name, size_t count) {
        for (size_t i = 0; i < count; ++i) peers[name].places.erase(peers[name].places.begin());
    };

    // A machine alone holds at most half: its second address waits.
    ask("2001:db8::1", 12);
    ask("2001:db8::2", 6);
    EXPECT_EQ(placesOf("2001:db8::1"), 12u);
    EXPECT_EQ(placesOf("2001:db8::2"), 4u);
    EXPECT_EQ(peers["2001:db8::2"].ledger->waitingFor(kind), 2u);
    accountsAgree();
    // The second machine takes a third of the total; past it, it waits.
    ask("192.0.2.7", 16);
    EXPECT_EQ(placesOf("192.0.2.7"), 11u);
    EXPECT_EQ(peers["192.0.2.7"].ledger->waitingFor(kind), 5u);
    // A carrier that cannot wait is refused past its machine's share, with
    // places of its peer's own left.
    EXPECT_FALSE(WorkLedger::Holding::take(peers["2001:db8::1"].ledger, kind));
    accountsAgree();
    // A third machine finds what the two left.
    ask("198.51.100.9", 8);
    EXPECT_EQ(placesOf("198.51.100.9"), 5u);
    EXPECT_EQ(pool->held(), 32u);
    accountsAgree();

    // Freed places go to the waiting machine holding the fewest, whoever
    // gave them back, and only while it is under its share (a quarter now).
    giveBack("2001:db8::1", 4);
    EXPECT_EQ(placesOf("198.51.100.9"), 8u);
    EXPECT_EQ(pool->held(), 32u - 1u) << "no other machine is under its share";
    accountsAgree();

    // The third machine's peer leaves: its places go back and it waits no
    // more, so the two left share a third each again.
    peers["198.51.100.9"].places.clear();
    peers["198.51.100.9"].ledger->cancel();
    EXPECT_EQ(pool->machinesSharing(), 2u);
    EXPECT_EQ(pool->heldBy("2001:db8::/64"), 12u);
    EXPECT_EQ(placesOf("192.0.2.7"), 11u);
    EXPECT_EQ(pool->held(), 23u);
    accountsAgree();
    // The /64 gives back below its third: its waiting address is served
    // before the machine that holds more.
    giveBack("2001:db8::1", 3);
    EXPECT_EQ(pool->heldBy("2001:db8::/64"), 11u);
    EXPECT_EQ(placesOf("2001:db8::2"), 6u);
    EXPECT_EQ(peers["2001:db8::2"].ledger->waitingFor(kind), 0u);
    accountsAgree();
    // Alone, a machine may hold half: the second's waiters are served as
    // the first leaves.
    for (const char* name : {"2001:db8::1", "2001:db8::2"}) {
        peers[name].places.clear();
        peers[name].ledger->cancel();
    }
    EXPECT_EQ(placesOf("192.0.2.7"), 16u);
    EXPECT_EQ(pool->waiting(), 0u);
    accountsAgree();
    peers["192.0.2.7"].places.clear();
    EXPECT_EQ(pool->held(), 0u);
    EXPECT_EQ(pool->machinesSharing(), 0u);
}

// Machines arrive one at a time, in a seeded random order, each with a peer
// or two that take what they may and keep every batch open and idle. After
// every arrival, with no more places given back than the newcomer's share
// (none passes to and fro), every waiting machine holds at least its whole
// share, and no machine holds past its share and two more than a machine
// under its share that waits.
TEST_F(WorkLedgerTest, PlacesKeptPastAShareGoBackToWhoWaitsUnderItsWhateverOrderMachinesComeIn) {
    constexpr auto kind = WorkLedger::Held::batches;
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        auto pool = std::make_shared<HeldPool>(32);
        const size_t total = pool->total();
        std::map<std::string, std::vector<std::shared_ptr<WorkLedger>>> machines;
        std::map<WorkLedger*, std::vector<WorkLedger::Holding>> places;
        auto waits = [&](const std::string& machine) {
            return std::any_of(machines[machine].begin(), machines[machine].end(),
                               [&](const auto& peer) { return peer->waitingFor(kind) > 0; });
        };
        // Whoever keeps the batches, all idle: the machine named gives back
        // the place its peer holding the most took first.
        DispatchQueue keeper("test.keeper");
        size_t givenBack = 0;
        pool->whenPlacesWanted([&] {
            keeper.async([&] {
                for (auto from = pool->takeBackFrom(); !from.empty() && givenBack < 1000; from = pool->takeBackFrom()) {
                    auto& peers = machines[from.front()];
                    auto& held = places[std::max_element(peers.begin(), peers.end(), [&](const auto& a, const auto& b) {
                                            return places[a.get()].size() < places[b.get()].size();
                                        })->get()];
                    auto place = std::move(held.front());
                    held.erase(held.begin());
                    ++givenBack;
                }
            });
        });
        std::vector<std::string> order;
        for (size_t i = 0, count = 3 + random() % 10; i < count; ++i) order.push_back("198.51.100." + std::to_string(i));
        std::shuffle(order.begin(), order.end(), random);
        for (const auto& newcomer : order) {
            givenBack = 0;
            for (size_t i = 0, peers = 1 + random() % 2; i < peers; ++i) {
                auto peer = std::make_shared<WorkLedger>(newcomer + "#" + std::to_string(i), 1 << 20);
                peer->shareHostWide(kind, pool, newcomer);
                machines[newcomer].push_back(peer);
                for (size_t asks = 1 + random() % WorkLedger::heldBound(kind); asks > 0; --asks)
                    peer->whenHeldFree(kind, [&places, key = peer.get()](WorkLedger::Holding place) {
                        places[key].push_back(std::move(place));
                    });
            }
            runUntilIdle();
            const size_t sharing = pool->machinesSharing();
            EXPECT_LE(givenBack, (total + sharing) / (sharing + 1));
            size_t held = 0;
            for (const auto& [peer, its] : places) held += its.size();
            EXPECT_EQ(pool->held(), held);
            for (const auto& [waiter, unused] : machines) {
                const size_t held = pool->heldBy(waiter);
                if (!waits(waiter)) continue;
                EXPECT_GE(held, total / (sharing + 1)) << waiter << " waits, of " << sharing;
                if (held * (sharing + 1) >= total) continue;
                for (const auto& [other, unused2] : machines)
                    EXPECT_FALSE(pool->heldBy(other) * (sharing + 1) > total && pool->heldBy(other) >= held + 2)
                        << other << " keeps " << pool->heldBy(other) << " while " << waiter << " waits with " << held;
            }
        }
        // Gone first, so that no place given back lands in a list being cleared.
        for (auto& [machine, peers] : machines)
            for (auto& peer : peers) peer->cancel();
        places.clear();
        runUntilIdle();
        EXPECT_EQ(pool->held(), 0u);
    }
}

// Machines that fill the total as far as their reads may, then queue
// replies they never read: a watcher of another machine still has room for
// the reads that carry its acknowledgements; its own replies wait while
// the others' fill what replies may use, and go once some of it returns.
TEST(HostByteTotalRoom, RepliesNeverTakeWhatAWatchersAcknowledgementsNeed) {
    platform::HostByteTotal total;
    std::vector<std::weak_ptr<platform::WorkLedger>> wake;
    std::map<std::string, size_t> held;
    auto add = [&](const std::string& machine, size_t bytes) {
        total.adjust(machine, held[machine], held[machine] + bytes, wake);
        held[machine] += bytes;
    };
    const std::vector<std::string> hostile{"H1", "H2", "H3", "H4"};
    for (const auto& machine : hostile) total.join(machine);
    total.join("W");
    for (bool any = true; any;) {
        any = false;
        for (const char* machine : {"H1", "H2", "H3"})
            if (const size_t room = total.roomFor(machine, platform::HostByteTotal::Use::read)) {
                add(machine, std::min<size_t>(room, 1 << 20));
                any = true;
            }
    }
    for (const auto& machine : hostile)
        for (int i = 0; i < 100000 && total.mayQueue(machine, 64 << 10); ++i) add(machine, 64 << 10);
    EXPECT_LE(total.bytesInUse(), total.limit()) << "within their parts or not";
    EXPECT_GT(total.roomFor("W", platform::HostByteTotal::Use::reserve), size_t{16} << 10) << "a watcher's acknowledgements";
    EXPECT_FALSE(total.mayQueue("W", 256 << 10)) << "a watcher's reply waits for room";
    total.adjust("H4", held["H4"], held["H4"] - (1 << 20), wake);
    held["H4"] -= 1 << 20;
    EXPECT_TRUE(total.mayQueue("W", 256 << 10)) << "a watcher's reply";
}

// Machines join one at a time, and each fills what it may, in a seeded
// random order, by reads, replies and what its peer's connections read past
// its budget: parts shrink as they join, so what each took within the part
// of its time adds up to several times the limit unless the total bounds
// it. After every step the total holds its limit, and a watcher within its
// part still has room for the reads that carry its acknowledgements. Then
// a machine stopped a little past its part waits, the total full, and is
// woken when idle machines leave and the parts grow, though nobody gave
// any bytes back.
TEST(HostByteTotalRoom, MachinesJoiningOneAtATimeKeepTheTotalWithinItsLimit) {
    using Use = platform::HostByteTotal::Use;
    platform::HostByteTotal total;
    std::vector<std::weak_ptr<platform::WorkLedger>> wake;
    std::map<std::string, size_t> held;
    auto set = [&](const std::string& machine, size_t bytes) {
        total.adjust(machine, held[machine], bytes, wake);
        held[machine] = bytes;
    };
    // One peer's six connections, 16 KiB each past its budget.
    constexpr size_t kPastBudget = 6 * (16 << 10);
    std::mt19937 random(11);
    total.join("W");
    set("W", 64 << 10);
    for (int k = 1; k <= 40; ++k) {
        const std::string machine = "M" + std::to_string(k);
        total.join(machine);
        size_t pastBudget = 0;
        for (bool stuck[3] = {}; !(stuck[0] && stuck[1] && stuck[2]);) {
            const unsigned road = random() % 3;
            const size_t chunk = 4096 + random() % (1 << 20);
            size_t bytes = 0;
            if (road == 0) {
                bytes = std::min(chunk, total.roomFor(machine, Use::read));
            } else if (road == 1) {
                bytes = total.mayQueue(machine, chunk) ? chunk : total.mayQueue(machine, 4096) ? 4096 : 0;
            } else {
                bytes = std::min({chunk, kPastBudget - pastBudget, total.roomFor(machine, Use::reserve)});
                pastBudget += bytes;
            }
            stuck[road] = bytes == 0;
            if (bytes) std::fill(std::begin(stuck), std::end(stuck), false);
            set(machine, held[machine] + bytes);
            ASSERT_LE(total.bytesInUse(), total.limit()) << k << " machines";
        }
        EXPECT_EQ(total.roomFor(machine, Use::read), 0u) << "it filled what it may";
        ASSERT_GE(total.roomFor("W", Use::reserve), kPastBudget) << "a watcher's acknowledgements, " << k << " machines";
    }
    for (auto& [machine, bytes] : held) {
        set(machine, 0);
        total.leave(machine, wake);
    }
    ASSERT_EQ(total.part(), total.limit()) << "every machine gone";
    for (const char* machine : {"A", "B", "I1", "I2"}) total.join(machine);
    const size_t part = total.part();
    set("A", part + part / 2);
    set("B", total.limit() - part / 2 - held["A"]);
    ASSERT_EQ(total.roomFor("A", Use::read) + total.roomFor("A", Use::reserve), 0u);
    auto waiter = std::make_shared<platform::WorkLedger>("A's peer", 1 << 20);
    const uint64_t looked = total.releases();
    EXPECT_FALSE(total.wakeWhenRoom("A", waiter, looked)) << "nothing came back: it waits";
    wake.clear();
    total.leave("I1", wake);
    total.leave("I2", wake);
    EXPECT_GT(total.roomFor("A", Use::reserve), 0u) << "the parts grew";
    ASSERT_EQ(wake.size(), 1u);
    EXPECT_EQ(wake[0].lock(), waiter);
    // One that looked before the parts grew and is listed only after: the
    // wakes went out without it, so it is told to look again.
    auto late = std::make_shared<platform::WorkLedger>("A's other peer", 1 << 20);
    EXPECT_TRUE(total.wakeWhenRoom("A", late, looked));
    EXPECT_FALSE(total.wakeWhenRoom("A", late, total.releases())) << "nothing came back since it looked";
}

}  // namespace
