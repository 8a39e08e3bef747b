#include "fagex/fagexLogManager.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include <unistd.h>

#include "fagex/fagexException.h"
#include "temp_folder.h"

using fagex::Log;
using fagex::LogManager;
using fagex_test::readFile;
using fagex_test::TempFolder;
using fagex_test::writeFile;

namespace {

struct Recorder : fagex::LogListener {
    std::vector<std::string> messages;
    void messageLogged(const std::string& message, int level, bool, const std::string& logName) override
    {
        messages.push_back(logName + "|" + std::to_string(level) + "|" + message);
    }
};

// Runs the body with the current folder switched to dir.
struct CurrentFolder {
    explicit CurrentFolder(const std::string& dir)
    {
        char buf[4096];
        mOld = ::getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(::chdir(dir.c_str()), 0);
    }
    ~CurrentFolder() { EXPECT_EQ(::chdir(mOld.c_str()), 0); }
    std::string mOld;
};

}   // namespace

TEST(LogManagerTest, InstanceLifetimeAndDefaultLog)
{
    EXPECT_EQ(LogManager::getSingletonPtr(), nullptr);
    TempFolder dir;
    {
        LogManager manager;
        EXPECT_EQ(LogManager::getSingletonPtr(), &manager);
        EXPECT_EQ(manager.getDefaultLog(), nullptr);
        manager.logMessage("nowhere");   // no default log: nothing happens

        Log* first = manager.createLog(dir.file("first.log"));
        Log* second = manager.createLog(dir.file("second.log"));
        EXPECT_EQ(manager.getDefaultLog(), first);
        EXPECT_EQ(manager.getLog(dir.file("second.log")), second);
        EXPECT_EQ(manager.createLog(dir.file("second.log"), true), second);
        EXPECT_EQ(manager.getDefaultLog(), second);

        manager.destroyLog(second);
        EXPECT_EQ(manager.getDefaultLog(), first);
    }
    EXPECT_EQ(LogManager::getSingletonPtr(), nullptr);
}

TEST(LogManagerTest, GetLogOfUnknownNameThrows)
{
    LogManager manager;
    try {
        manager.getLog("vr_download_dll.log");
        FAIL() << "no exception";
    } catch (const fagex::InvalidParametersException& e) {
        EXPECT_EQ(e.getDescription(), "Log not found. ");
        EXPECT_EQ(e.getSource(), "LogManager::getLog");
        EXPECT_EQ(e.getNumber(), fagex::Exception::ERR_INVALIDPARAMS);
    }
}

TEST(LogManagerTest, CreateLogEmptiesTheFileInTheCurrentFolder)
{
    TempFolder dir;
    writeFile(dir.file("vr_download_dll.log"), "old content\n");
    CurrentFolder cwd(dir.path());
    LogManager manager;
    Log* log = manager.createLog("vr_download_dll.log");
    EXPECT_TRUE(log->isOpen());
    EXPECT_EQ(readFile(dir.file("vr_download_dll.log")), "");
    manager.logMessage("game id [12] running ...");
    const std::string text = readFile(dir.file("vr_download_dll.log"));
    EXPECT_TRUE(std::regex_match(text, std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]: game id \\[12\\] running ...\n")))
        << text;
}

TEST(LogManagerTest, LevelRuleTable)
{
    struct Case {
        int logLevel;
        int messageLevel;
        bool written;
    };
    const Case cases[] = {
        {2, 1, false}, {2, 2, true},  {2, 3, true}, {1, 2, false}, {1, 3, true},
        {3, 1, true},  {0, 3, false}, {0, 4, true}, {4, 0, true},  {1, 1, false},
    };
    TempFolder dir;
    LogManager manager;
    Log* log = manager.createLog(dir.file("levels.log"));
    EXPECT_EQ(log->getLogLevel(), fagex::LL_NORMAL);
    Recorder recorder;
    log->addListener(&recorder);
    size_t expectedLines = 0;
    for (const Case& c : cases) {
        log->setLogLevel(c.logLevel);
        const size_t before = recorder.messages.size();
        log->logMessage("m", c.messageLevel);
        EXPECT_EQ(recorder.messages.size() - before, c.written ? 1u : 0u)
            << "log " << c.logLevel << " message " << c.messageLevel;
        if (c.written)
            ++expectedLines;
    }
    const std::string text = readFile(dir.file("levels.log"));
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), expectedLines);
    EXPECT_EQ(recorder.messages.front(), dir.file("levels.log") + "|2|m");
    log->removeListener(&recorder);
}

TEST(LogManagerTest, DisabledLogWritesNothing)
{
    TempFolder dir;
    LogManager manager;
    Log* log = manager.createLog(dir.file("off.log"));
    log->setEnabled(false);
    EXPECT_FALSE(log->isEnabled());
    log->logMessage("hidden", 3);
    log->setEnabled(true);
    log->logMessage("shown", 2);
    const std::string text = readFile(dir.file("off.log"));
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find(": shown\n"), std::string::npos);
}

TEST(LogManagerTest, UnwritableFileLeavesAWorkingLog)
{
    TempFolder dir;
    LogManager manager;
    Log* log = manager.createLog(dir.file("missing/folder.log"));
    EXPECT_FALSE(log->isOpen());
    Recorder recorder;
    log->addListener(&recorder);
    log->logMessage("still heard");
    EXPECT_EQ(recorder.messages.size(), 1u);
    log->removeListener(&recorder);
}

TEST(LogManagerTest, ManyThreadsWriteWholeLines)
{
    TempFolder dir;
    LogManager manager;
    manager.createLog(dir.file("threads.log"));
    const std::string payload(200, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                manager.logMessage(payload);
        });
    for (auto& th : threads)
        th.join();
    const std::string text = readFile(dir.file("threads.log"));
    size_t lines = 0;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1, ++lines)
        ASSERT_EQ(text.substr(start + 10, nl - start - 10), payload);
    EXPECT_EQ(lines, 800u);
    EXPECT_EQ(start, text.size());
}
