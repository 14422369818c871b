#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <memory>
#include <string>

#include "flashdll/hw/fs_chip_table.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using testing_support::RecordingHost;
using testing_support::TempDir;

// Sets or clears an environment variable for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        if (old != nullptr) old_ = std::make_unique<std::string>(old);
        if (value != nullptr) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::unique_ptr<std::string> old_;
};

struct Fixture : ::testing::Test {
    RecordingHost host;
    std::unique_ptr<FlashLoadOptions> options = std::make_unique<FlashLoadOptions>();
    ~Fixture() override { FlashFinish(&host.descriptor); }
    Session* session() { return static_cast<Session*>(host.descriptor.session); }
};

using FlashInitTest = Fixture;

TEST_F(FlashInitTest, WrongSizeChangesNothing) {
    std::memset(options.get(), 0x5A, sizeof *options);
    const auto before = std::make_unique<FlashLoadOptions>(*options);
    for (uint32_t size : {uint32_t(sizeof(FlashHostDescriptor) - 4), uint32_t(sizeof(FlashHostDescriptor) + 4), 0u}) {
        host.descriptor.size = size;
        host.InstallCallbacks();
        EXPECT_EQ(FlashInit(&host.descriptor, options.get()), ERR_WRONG_DLL) << size;
        EXPECT_EQ(host.descriptor.session, nullptr);
        EXPECT_NE(host.descriptor.OnMessage, nullptr);
        EXPECT_EQ(std::memcmp(before.get(), options.get(), sizeof *options), 0);
    }
}

TEST_F(FlashInitTest, NullArgumentsAreRefused) {
    EXPECT_EQ(FlashInit(nullptr, options.get()), ERR_BAD_PARAMS);
    EXPECT_EQ(FlashInit(&host.descriptor, nullptr), ERR_BAD_PARAMS);
    EXPECT_EQ(host.descriptor.session, nullptr);
}

TEST_F(FlashInitTest, LinksSessionClearsCallbacksAndResetsRecord) {
    host.InstallCallbacks();
    std::memset(options.get(), 0x5A, sizeof *options);
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);

    ASSERT_NE(session(), nullptr);
    EXPECT_EQ(session()->host, &host.descriptor);
    EXPECT_EQ(host.descriptor.OnProgressBegin, nullptr);
    EXPECT_EQ(host.descriptor.OnProgressUpdate, nullptr);
    EXPECT_EQ(host.descriptor.OnProgressEnd, nullptr);
    EXPECT_EQ(host.descriptor.OnStatusText, nullptr);
    EXPECT_EQ(host.descriptor.OnMessage, nullptr);
    EXPECT_EQ(host.descriptor.OnPollAbort, nullptr);

    EXPECT_EQ(options->com[0], 64u);
    EXPECT_EQ(options->erase, 1u);
    EXPECT_EQ(options->diff, 1u);
    EXPECT_EQ(options->platform[0], '\0');
    EXPECT_EQ(options->contentsmode, 0x5A5A5A5Au);  // not part of the defaults

    EXPECT_EQ(session()->run.runFlag.load(), 0);
    EXPECT_EQ(session()->queue.writePosition.load(), session()->queue.readPosition.load());
}

TEST_F(FlashInitTest, BuildsComNamesAndEmptiesChipTable) {
    // Scribble into the process-wide chip table: FlashInit must empty it.
    const_cast<uint8_t*>(FsChipTableBytes())[0] = 3;
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    EXPECT_EQ(FsChipTableBytes()[0], 0);
    EXPECT_STREQ(ComName(0), "COM1");
    EXPECT_STREQ(ComName(11), "COM12");
    EXPECT_STREQ(ComName(63), "COM64");
}

TEST_F(FlashInitTest, ModuleDirectoryFromHomeVariable) {
    TempDir dir;
    ScopedEnv home("FLASHDLL_HOME", dir.Path().c_str());
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    EXPECT_EQ(std::string(session()->moduleDir), dir.Path() + "/");
    EXPECT_EQ(std::string(session()->platformDefPath), dir.Path() + "/platform.def");
}

TEST_F(FlashInitTest, ModuleDirectoryOfTheExecutable) {
    ScopedEnv home("FLASHDLL_HOME", nullptr);
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    std::string dir(exe);
    dir.erase(dir.rfind('/') + 1);
    EXPECT_EQ(std::string(session()->moduleDir), dir);
    EXPECT_EQ(std::string(session()->platformDefPath), dir + "platform.def");
}

TEST_F(FlashInitTest, LongModuleDirectoryCutsThePlatformPathSafely) {
    const std::string longHome = "/" + std::string(kPathSize - 10, 'd');  // fits, but not with platform.def
    ScopedEnv home("FLASHDLL_HOME", longHome.c_str());
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    EXPECT_EQ(std::string(session()->moduleDir), longHome + "/");
    const std::string path(session()->platformDefPath);
    EXPECT_EQ(path.size(), kPathSize - 1);
    EXPECT_EQ(path, (longHome + "/platform.def").substr(0, kPathSize - 1));
}

TEST_F(FlashInitTest, SecondInitGivesAFreshSession) {
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    session()->options.debug = 1;
    session()->run.recordedError = 6;
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    // The old session is released (the leak checker of the sanitizer build
    // would report it otherwise); the new one starts clean.
    EXPECT_EQ(session()->options.debug, 0u);
    EXPECT_EQ(session()->run.recordedError, 100u);
    EXPECT_EQ(session()->host, &host.descriptor);
}

TEST(FlashFinishTest, UnlinksAndIsSafeToRepeat) {
    RecordingHost host;
    auto options = std::make_unique<FlashLoadOptions>();
    EXPECT_EQ(FlashFinish(nullptr), SUCCESS);
    EXPECT_EQ(FlashFinish(&host.descriptor), SUCCESS);  // never linked
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    host.InstallCallbacks();
    EXPECT_EQ(FlashFinish(&host.descriptor), SUCCESS);
    EXPECT_EQ(host.descriptor.session, nullptr);
    EXPECT_NE(host.descriptor.OnMessage, nullptr);  // callbacks are left alone
    EXPECT_EQ(FlashFinish(&host.descriptor), SUCCESS);
}

TEST(FlashFinishTest, ForeignSessionPointersAreNeverFreed) {
    RecordingHost host;
    auto options = std::make_unique<FlashLoadOptions>();
    ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    Session* const session = static_cast<Session*>(host.descriptor.session);

    // A copy of a linked descriptor, initialised or finished on its own,
    // must leave the original's session alive (and free it only once).
    RecordingHost copy;
    copy.descriptor = host.descriptor;
    EXPECT_EQ(FlashInit(&copy.descriptor, options.get()), SUCCESS);
    EXPECT_NE(copy.descriptor.session, session);
    EXPECT_EQ(FlashFinish(&copy.descriptor), SUCCESS);
    copy.descriptor = host.descriptor;
    EXPECT_EQ(FlashFinish(&copy.descriptor), SUCCESS);
    EXPECT_EQ(copy.descriptor.session, nullptr);
    host.InstallCallbacks();
    EXPECT_EQ(FlashParseOptionString(&host.descriptor, "/com=2", nullptr, options.get()), SUCCESS);
    EXPECT_TRUE(host.HasMessage("/com=2 ", 0));
    EXPECT_EQ(FlashFinish(&host.descriptor), SUCCESS);
    EXPECT_EQ(host.descriptor.session, nullptr);

    // A session pointer the library never handed out (an uninitialised
    // descriptor) is dropped, not freed.
    auto notOurs = std::make_unique<Session>();
    host.descriptor.session = notOurs.get();
    EXPECT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
    EXPECT_NE(host.descriptor.session, notOurs.get());
    EXPECT_EQ(FlashFinish(&host.descriptor), SUCCESS);
    host.descriptor.session = notOurs.get();
    EXPECT_EQ(FlashFinish(&host.descriptor), SUCCESS);
    EXPECT_EQ(host.descriptor.session, nullptr);
}

}  // namespace
