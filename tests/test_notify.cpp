#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/notify.h"
#include "flashdll/os/clock.h"
#include "flashdll/session.h"
#include "support/recording_host.h"

namespace {

using testing_support::HostEvent;
using testing_support::HostEventKind;
using testing_support::RecordingHost;
using Updates = std::vector<std::pair<uint32_t, uint32_t>>;  // current, percent

// Crashes when formatted with %s: proves a text was not formatted at all.
const char* const kUnreadable = reinterpret_cast<const char*>(16);

struct NotifyTest : ::testing::Test {
    RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    Session* s = session.get();

    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
    }
    Updates ProgressUpdates() const {
        Updates updates;
        for (const HostEvent& e : host.Events()) {
            if (e.kind == HostEventKind::Progress) updates.emplace_back(e.a, e.b);
        }
        return updates;
    }
};

// Outside a load every notification reaches the host on the calling thread
// before the call returns.
TEST_F(NotifyTest, DeliveredAtOnceCutTo259Characters) {
    const std::string longText(400, 'x');
    s->options.debug = 1;
    PostHostMessage(s, 1, "careful: %u", 7u);
    LogLine(s, "%s!", longText.c_str());
    PostStatus(s, "100% done %s");  // not a format
    EXPECT_EQ(host.Messages(1), std::vector<std::string>{"careful: 7"});
    EXPECT_EQ(host.Messages(0), std::vector<std::string>{std::string(259, 'x')});
    EXPECT_EQ(host.StatusTexts(), std::vector<std::string>{"100% done %s"});
    for (const HostEvent& e : host.Events()) EXPECT_EQ(e.thread, std::this_thread::get_id());
}

TEST_F(NotifyTest, NothingIsFormattedWithoutDebugOrCallback) {
    LogLine(s, "%s", kUnreadable);  // debug is 0
    s->options.debug = 1;
    host.descriptor = {};  // no callbacks
    LogLine(s, "%s", kUnreadable);
    PostHostMessage(s, 2, "%s", kUnreadable);
    PostStatus(s, "status");
    ProgressBegin(s, "title", 0);
    ProgressUpdate(s, 1);
    ProgressEnd(s);
    EXPECT_TRUE(host.Events().empty());
    EXPECT_EQ(s->progress.total, 1u);  // the state is kept without a callback
}

TEST_F(NotifyTest, ProgressTotalsAndValuesAreClamped) {
    ProgressBegin(s, "Loading S-Record File ...", 0);
    ASSERT_EQ(host.Events().size(), 1u);
    EXPECT_EQ(host.Events()[0].text, "Loading S-Record File ...");
    EXPECT_EQ(host.Events()[0].a, 1u);  // a total of 0 becomes 1

    ProgressBegin(s, "t", 1000);
    ProgressUpdate(s, 5000);
    EXPECT_EQ(ProgressUpdates().back(), std::make_pair(1000u, 100u));
    ProgressBegin(s, "t", 200);
    ProgressAdvance(s, 50);
    ProgressAdvance(s, 50);
    EXPECT_EQ(ProgressUpdates().back(), std::make_pair(100u, 50u));
    ProgressAdvance(s, 0xFFFFFFFFu);  // no wrap-around to a small value
    EXPECT_EQ(ProgressUpdates().back(), std::make_pair(200u, 100u));
    ProgressEnd(s);
    EXPECT_EQ(host.Events().back().kind, HostEventKind::ProgressEnd);
}

// A changed percentage is delivered at once, a standing one once a second
// (one wait of a little more than a second).
TEST_F(NotifyTest, ProgressIsThrottledPerPercentAndSecond) {
    ProgressBegin(s, "t", 1000);
    ProgressUpdate(s, 10);  // 1 %
    ProgressUpdate(s, 15);  // 1 % again within a second: dropped
    ProgressUpdate(s, 25);  // 2 %
    EXPECT_EQ(ProgressUpdates(), (Updates{{10, 1}, {25, 2}}));

    host.Clear();
    os::SleepMs(1100);
    ProgressBegin(s, "t", 1000);
    ProgressUpdate(s, 5);   // 0 %, as before, but over a second later
    ProgressUpdate(s, 9);   // 0 % again at once: dropped
    ProgressUpdate(s, 10);  // 1 %
    EXPECT_EQ(ProgressUpdates(), (Updates{{5, 0}, {10, 1}}));
}

}  // namespace
