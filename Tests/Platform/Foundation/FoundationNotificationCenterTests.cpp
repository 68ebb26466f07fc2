#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

// Each test uses its own centre so that observers never leak between tests;
// the two shared centres are checked separately.
class FoundationNotifications : public platform::testing::VirtualTimeTest {
protected:
    NotificationCenter center;
    std::vector<std::string> seen;
};

}  // namespace

TEST_F(FoundationNotifications, DeliversByNameSynchronouslyWithUserInfo) {
    center.addObserver("VelantrixLanguageChanged", [&](const Notification& n) {
        seen.push_back("a:" + n.userInfo.at("language"));
    });
    center.addObserver("VelantrixLanguageChanged", [&](const Notification&) { seen.push_back("b"); });
    center.addObserver("Other", [&](const Notification&) { seen.push_back("other"); });
    center.post({"VelantrixLanguageChanged", {{"language", "fr"}}});
    // Delivered before post returns, without running any queue.
    EXPECT_EQ(seen, (std::vector<std::string>{"a:fr", "b"}));
}

TEST_F(FoundationNotifications, QueuedObserversRunOnTheirQueueLater) {
    DispatchQueue queue("v230.host.test.notifications");
    bool onQueue = false;
    center.addObserver("N", [&](const Notification& n) {
        onQueue = queue.isCurrent();
        seen.push_back(n.name);
    }, queue);
    center.post({"N", {}});
    EXPECT_TRUE(seen.empty());
    runUntilIdle();
    EXPECT_EQ(seen, std::vector<std::string>{"N"});
    EXPECT_TRUE(onQueue);
}

TEST_F(FoundationNotifications, RemovedObserversAreNotCalled) {
    DispatchQueue queue("v230.host.test.notifications");
    auto direct = center.addObserver("N", [&](const Notification&) { seen.push_back("direct"); });
    auto queued = center.addObserver("N", [&](const Notification&) { seen.push_back("queued"); }, queue);
    center.post({"N", {}});
    center.removeObserver(queued);  // its delivery is already queued
    runUntilIdle();
    EXPECT_EQ(seen, std::vector<std::string>{"direct"});

    center.removeObserver(direct);
    center.removeObserver(direct);  // twice is harmless
    center.post({"N", {}});
    runUntilIdle();
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(FoundationNotifications, ObserverRemovedDuringAPostIsSkipped) {
    NotificationCenter::Token second = 0;
    center.addObserver("N", [&](const Notification&) {
        seen.push_back("first");
        center.removeObserver(second);
    });
    second = center.addObserver("N", [&](const Notification&) { seen.push_back("second"); });
    center.post({"N", {}});
    EXPECT_EQ(seen, std::vector<std::string>{"first"});
}

TEST_F(FoundationNotifications, HandlersMayPostAddAndRemoveWithoutDeadlock) {
    NotificationCenter::Token self = 0;
    self = center.addObserver("Outer", [&](const Notification&) {
        seen.push_back("outer");
        center.removeObserver(self);
        center.addObserver("Outer", [&](const Notification&) { seen.push_back("added later"); });
        center.post({"Inner", {}});
    });
    center.addObserver("Inner", [&](const Notification&) { seen.push_back("inner"); });
    center.post({"Outer", {}});
    // The observer added during the post waits for the next one.
    EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner"}));
    center.post({"Outer", {}});
    EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner", "added later"}));
}

TEST_F(FoundationNotifications, LocalAndDistributedCentresAreSeparate) {
    auto& local = NotificationCenter::defaultCenter();
    auto& distributed = NotificationCenter::distributedCenter();
    EXPECT_NE(&local, &distributed);
    EXPECT_EQ(&local, &NotificationCenter::defaultCenter());
    auto a = local.addObserver("VelantrixLanguageChanged", [&](const Notification&) { seen.push_back("local"); });
    auto b = distributed.addObserver("VelantrixLanguageChangedDistributed",
                                     [&](const Notification&) { seen.push_back("distributed"); });
    distributed.post({"VelantrixLanguageChangedDistributed", {}});
    local.post({"VelantrixLanguageChangedDistributed", {}});
    local.removeObserver(a);
    distributed.removeObserver(b);
    EXPECT_EQ(seen, std::vector<std::string>{"distributed"});
}
