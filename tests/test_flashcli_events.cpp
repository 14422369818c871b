// flashcli's events on their way out: JSON lines and reading them back, the
// summary worked out from a job's events, plain lines, the bar and the
// handsets table. Everything here is fed with made-up events and times.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/flashcli/handset_table.h"
#include "tools/flashcli/job_summary.h"
#include "tools/flashcli/json_event.h"
#include "tools/flashcli/output.h"

namespace {

Event Begin(double t, const std::string& title, uint32_t total) {
    Event event = MakeEvent(EventKind::ProgressBegin, t);
    event.text = title;
    event.total = total;
    return event;
}
Event Update(double t, uint32_t current, uint32_t percent) {
    Event event = MakeEvent(EventKind::Progress, t);
    event.current = current;
    event.percent = percent;
    return event;
}

JobSummary OnePort(uint64_t bytes, double seconds, uint32_t baud) {
    JobSummary summary;
    summary.mainRan = true;
    summary.bytes = bytes;
    summary.seconds = seconds;
    summary.ports[0] = PortSpeed{1, baud};
    summary.portCount = 1;
    return summary;
}

TEST(FlashcliJson, LinesOfEachKindReadBackAsWritten) {
    Event message = MessageEvent(1.5, 1, "quote \" backslash \\ tab \t bell \x07 \xc3\xa9 latin \xe9");
    EXPECT_EQ(JsonLine(message, ""), "{\"t\":1.500,\"event\":\"message\",\"level\":1,\"text\":\"quote \\\" "
                                     "backslash \\\\ tab \\t bell \\u0007 \xc3\xa9 latin \\u00e9\"}");
    Event summary = MakeEvent(EventKind::Summary, 9);
    summary.summary = OnePort(98304, 1.25, 921600);
    summary.summary.ports[1] = PortSpeed{2, 460800};
    summary.summary.portCount = 2;
    EXPECT_EQ(JsonLine(summary, "A-1"), "{\"t\":9.000,\"event\":\"summary\",\"handset\":\"A-1\",\"mode\":\"flash\","
                                        "\"bytes\":98304,\"seconds\":1.250,\"bytes_per_second\":78643.2,"
                                        "\"line_share\":56.9,\"ports\":[{\"com\":1,\"baud\":921600},"
                                        "{\"com\":2,\"baud\":460800}]}");
    Event notRun = MakeEvent(EventKind::Summary, 2);
    notRun.summary.mode = 2;
    EXPECT_EQ(JsonLine(notRun, ""), "{\"t\":2.000,\"event\":\"summary\",\"mode\":\"read\",\"bytes\":0,\"seconds\":"
                                    "0.000,\"bytes_per_second\":null,\"line_share\":null,\"ports\":[]}");

    const std::vector<Event> events = {MessageEvent(0, 2, "\xc3\xa9 \"x\""), MakeEvent(EventKind::Status, 0.25),
                                       Begin(3, "Loading Flash ...", 7),
                                       Update(4, 3, 42), MakeEvent(EventKind::ProgressEnd, 5), summary, notRun,
                                       ResultEvent(10, 24)};
    for (const Event& written : events) {
        Event read;
        std::string handset;
        const std::string line = JsonLine(written, "h7");
        ASSERT_TRUE(ReadJsonLine(line, &read, &handset)) << line;
        EXPECT_EQ(handset, "h7");
        EXPECT_EQ(JsonLine(read, "h7"), line);  // every member came back
    }
    Event read;
    std::string handset;
    ASSERT_TRUE(ReadJsonLine(JsonLine(message, ""), &read, &handset));
    EXPECT_EQ(read.text, "quote \" backslash \\ tab \t bell \x07 \xc3\xa9 latin \xc3\xa9");  // Latin-1 as UTF-8
    EXPECT_EQ(handset, "");
}

TEST(FlashcliJson, OtherLinesAreRefused) {
    const std::vector<std::string> lines = {
        "",
        "{\"t\":1,\"event\":\"status\"}",                                  // text missing
        "{\"t\":1,\"event\":\"status\",\"text\":\"a\",\"extra\":1}",        // unknown member
        "{\"t\":1,\"event\":\"status\",\"text\":\"a\"} x",                  // trailing text
        "{\"t\":1,\"event\":\"status\",\"text\":\"a\",\"text\":\"b\"}",     // twice
        "{\"t\":1,\"event\":\"status\",\"text\":\"\\q\"}",                  // bad escape
        "{\"t\":1,\"event\":\"status\",\"text\":\"\\ud800\"}",              // lone surrogate
        "{\"t\":1,\"event\":\"bogus\"}",
        "{\"t\":\"1\",\"event\":\"progress_end\"}",
        "{\"t\":1,\"event\":\"progress\",\"current\":-1,\"percent\":0}",
        "{\"t\":1,\"event\":\"result\",\"code\":2.5,\"name\":\"X\"}",
        "{\"t\":1,\"event\":\"summary\",\"mode\":\"flash\",\"bytes\":1,\"seconds\":1,\"bytes_per_second\":1,"
        "\"line_share\":1,\"ports\":[{\"com\":1,\"baud\":1},{\"com\":2,\"baud\":1},{\"com\":3,\"baud\":1}]}",
    };
    for (const std::string& line : lines) {
        Event event;
        std::string handset;
        EXPECT_FALSE(ReadJsonLine(line, &event, &handset)) << line;
    }
}

TEST(FlashcliSummary, MainRunAndFinalPortsFromTheEvents) {
    JobTracker tracker;
    StartTracking(&tracker, 0);
    const std::vector<Event> events = {
        Begin(0.5, "Loading RAM (1/1) ...", 4096), Update(0.6, 4096, 100), MakeEvent(EventKind::ProgressEnd, 0.6),
        MessageEvent(1.0, 0, "Logical port 0: COM3 <-> UART0 at 115200 baud (~100%)"),  // before the speed change
        MessageEvent(1.1, 0, "Logical port 0: COM3 <-> UART1 at 921600 baud (~66%)"),
        MessageEvent(1.1, 0, "Logical port 1: COM4 <-> UART0 at 460800 baud (~33%)"),
        MessageEvent(1.2, 1, "Logical port 1: COM9 <-> UART0 at 57600 baud (~33%)"),     // a warning: not the list
        Begin(2.0, "Loading Flash ...", 196608), Update(2.5, 65536, 33), Update(3.5, 196608, 100),
    };
    for (const Event& event : events) TrackEvent(&tracker, event);
    const JobSummary summary = FinishTracking(&tracker, 4.0);  // no end of the run: the job's end closes it
    ASSERT_TRUE(summary.mainRan);
    EXPECT_EQ(summary.bytes, 196608u);
    EXPECT_DOUBLE_EQ(summary.seconds, 2.0);
    ASSERT_EQ(summary.portCount, 2u);
    EXPECT_EQ(summary.ports[1].com, 4u);
    EXPECT_DOUBLE_EQ(LineCeilingBytesPerSecond(summary), 92160 + 46080);
    EXPECT_NEAR(LineSharePercent(summary), 98304 * 100.0 / 138240, 1e-9);
    EXPECT_EQ(SummaryLine(summary), "summary: flashed 192 KiB in 2.0 s, 96.0 KiB/s over COM3 at 921600 baud and "
                                    "COM4 at 460800 baud: 71% of the line");
}

TEST(FlashcliSummary, TextOfEveryMode) {
    const std::vector<std::pair<uint32_t, std::string>> notRun = {
        {0, "summary: nothing flashed: the main operation did not run"},
        {1, "summary: nothing verified: the main operation did not run"},
        {2, "summary: nothing read: the main operation did not run"},
        {4, "summary: nothing flashed or written: the main operation did not run"},
        {5, "summary: nothing written: the main operation did not run"},
    };
    for (const auto& [mode, text] : notRun) {
        JobSummary summary;
        summary.mode = mode;
        EXPECT_EQ(SummaryLine(summary), text);
    }
    JobSummary summary = OnePort(98304, 12.34, 921600);
    EXPECT_EQ(SummaryLine(summary), "summary: flashed 96 KiB in 12.3 s, 7.8 KiB/s over COM1 at 921600 baud: 9% of "
                                    "the line");
    summary = OnePort(70017, 1, 115200);
    summary.mode = 5;
    EXPECT_EQ(SummaryLine(summary), "summary: wrote 68.4 KiB in 1.0 s, 68.4 KiB/s over COM1 at 115200 baud: 608% of "
                                    "the line");
    summary.bytes = 5 * 1024 * 1024 + 100;
    summary.portCount = 0;
    summary.mode = 4;
    EXPECT_EQ(SummaryLine(summary), "summary: flashed and wrote 5.0 MiB in 1.0 s, 5120.1 KiB/s");
    summary.seconds = 0.142;
    EXPECT_EQ(SummaryLine(summary), "summary: flashed and wrote 5.0 MiB in 0.14 s, 36057.0 KiB/s");
    EXPECT_EQ(SizeText(1023), "1023 bytes");
}

struct OutputTest : ::testing::Test {
    std::FILE* file = std::tmpfile();
    Output output;
    void SetUp() override {
        ASSERT_NE(file, nullptr);
        output.file = file;
    }
    void TearDown() override { std::fclose(file); }
    std::string Text() {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
        return text;
    }
    // A run of `total` bytes with an update per byte, 10 ms apart, and a
    // message 5 ms after the last update.
    void ShowRun(uint32_t total) {
        ShowEvent(&output, Begin(0, "Loading Flash ...", total));
        for (uint32_t i = 1; i <= total; ++i) ShowEvent(&output, Update(i * 0.01, i, i * 100 / total));
        ShowEvent(&output, MessageEvent(total * 0.01 + 0.005, 1, "late"));
        ShowEvent(&output, MakeEvent(EventKind::ProgressEnd, total * 0.01 + 0.01));
    }
};

TEST_F(OutputTest, LinesShowProgressEveryTenPercentAndPrefixTheHandset) {
    output.handset = "h1";
    ShowEvent(&output, MessageEvent(0, 0, "hello"));
    ShowRun(200);
    ShowEvent(&output, ResultEvent(3, 0));
    std::string expected = "[h1] hello\n";
    for (int percent = 0; percent <= 100; percent += 10) {
        expected += "[h1] progress: Loading Flash ... " + std::to_string(percent) + "%\n";
    }
    EXPECT_EQ(Text(), expected + "[h1] warning: late\n[h1] result: SUCCESS (0)\n");
}

TEST_F(OutputTest, QuietKeepsWarningsErrorsSummaryAndResult) {
    output.quiet = true;
    output.style = OutputStyle::Bar;
    ShowEvent(&output, MessageEvent(0, 0, "info"));
    ShowEvent(&output, MessageEvent(0, 1, "slow"));
    ShowEvent(&output, MakeEvent(EventKind::Status, 0));
    ShowRun(20);
    ShowEvent(&output, MessageEvent(0, 2, "broken"));
    ShowEvent(&output, MakeEvent(EventKind::Summary, 1));
    ShowEvent(&output, ResultEvent(1, 3));
    EXPECT_EQ(Text(), "warning: slow\nwarning: late\nerror: broken\n"
                      "summary: nothing flashed: the main operation did not run\nresult: ERR_ABORT (3)\n");
}

TEST_F(OutputTest, JsonProgressAtMostEveryTenthOfASecondWithTheLastKept) {
    output.style = OutputStyle::Json;
    ShowRun(1000);  // 10 s of updates, one per 10 ms and per 0.1 percent
    std::vector<Event> updates;
    std::string text = Text();
    double lastT = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        Event event;
        std::string handset;
        ASSERT_TRUE(ReadJsonLine(line, &event, &handset));
        EXPECT_GE(event.t, lastT) << "lines in time order";
        lastT = event.t;
        if (event.kind == EventKind::Progress) updates.push_back(event);
    }
    ASSERT_EQ(updates.size(), 101u);  // 0 % first, then a percent step every 100 ms
    EXPECT_EQ(updates.front().current, 1u);
    EXPECT_EQ(updates.back().current, 1000u);
    for (size_t i = 1; i < updates.size(); ++i) {
        // The last one comes at the run's end however soon after the one before.
        if (i + 1 < updates.size()) {
            EXPECT_GE(updates[i].t - updates[i - 1].t, kProgressIntervalSeconds - 1e-6) << i;
        }
        EXPECT_GT(updates[i].percent, updates[i - 1].percent) << i;
    }
}

TEST_F(OutputTest, BarShowsRateAndTimeLeftAndEndsOnItsLastValue) {
    output.style = OutputStyle::Bar;
    output.columns = 100;
    ShowEvent(&output, Begin(10, "Loading Flash ...", 4096 * 10));
    ShowEvent(&output, Update(10.05, 4096, 10));   // the first update always shows
    ShowEvent(&output, Update(12, 4096 * 4, 40));  // 16 KiB in 2 s, 3 s left
    ShowEvent(&output, Update(12.01, 4096 * 10, 100));  // too soon: drawn at the end of the run, as of then
    ShowEvent(&output, MakeEvent(EventKind::ProgressEnd, 12.02));
    const std::string bar40 = std::string(16, '#') + std::string(24, '-');
    EXPECT_EQ(Text(), "\rLoading Flash ... [" + std::string(40, '-') + "]   0%"
                      "\rLoading Flash ... [####" + std::string(36, '-') + "]  10%"
                      "\rLoading Flash ... [" + bar40 + "]  40%  8.0 KiB/s  0:03 left"
                      "\rLoading Flash ... [" + std::string(40, '#') + "] 100%  19.8 KiB/s  0:00 left\n");
    BarState narrow;
    narrow.title = "T";
    EXPECT_EQ(BarText(narrow, 0, 50, 0, 20), "T [#####-----]  50%");  // fits 19 columns
    EXPECT_EQ(ClockText(3725), "1:02:05");
}

TEST(FlashcliTable, RowsFollowTheirHandsetsEvents) {
    std::vector<HandsetRow> rows(2);
    rows[0].name = "line-1";
    rows[1].name = "b";
    rows[1].started = 1;
    UpdateRow(&rows[0], Begin(1, "Loading Flash ...", 100));
    UpdateRow(&rows[0], Update(3, 100 * 1024, 57));
    Event summary = MakeEvent(EventKind::Summary, 3.5);
    summary.summary = OnePort(4096, 2, 921600);
    UpdateRow(&rows[0], summary);
    UpdateRow(&rows[0], ResultEvent(4, 0));
    UpdateRow(&rows[1], MessageEvent(2.5, 0, "Power on mobile !"));
    EXPECT_EQ(TableText(rows, 0),
              "handset  phase                    done         rate  result                       time\n"
              "line-1   Loading Flash             57%    2.0 KiB/s  SUCCESS                     4.0 s\n"
              "b        starting                                                                1.5 s\n");
    EXPECT_EQ(TableText(rows, 12), "handset  ph\nline-1   Lo\nb        st\n");
    EXPECT_EQ(RedrawnTableText(rows, 12, 3).rfind("\x1b[3A\r\x1b[2Khandset  ph\n\r\x1b[2K", 0), 0u);
}

}  // namespace
