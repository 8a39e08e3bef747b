#include "foundation/engine_log_manager.h"

#include "fagex/fagexException.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(EngineLogManager, OneInstanceBesideTheServiceManagerAndLogsGoWithIt)
{
    EXPECT_EQ(nullptr, EngineLogManager::getSingletonPtr());
    test_support::TempDir dir;
    const std::string path = dir.file("engine.log");
    {
        std::ofstream(path) << "old\n";
        fagex::LogManager service;   // the two registrations do not meet
        auto engine = std::make_unique<EngineLogManager>();
        EXPECT_EQ(engine.get(), EngineLogManager::getSingletonPtr());
        EXPECT_EQ(&service, fagex::LogManager::getSingletonPtr());

        fagex::Log* log = engine->createLog(path);
        EXPECT_EQ(log, engine->getDefaultLog());
        EXPECT_EQ(log, engine->getLog(path));
        EXPECT_EQ(nullptr, service.getDefaultLog());
        EXPECT_EQ("", read_file(path));   // emptied at creation
        engine->logMessage("engine line");
        EXPECT_NE(std::string::npos, read_file(path).find(": engine line\n"));

        try {
            engine->getLog("missing");
            ADD_FAILURE() << "no exception";
        } catch (const fagex::Exception& e) {
            EXPECT_EQ("EngineLogManager::getLog", e.getSource());
            EXPECT_EQ("Log not found. ", e.getDescription());
        }
        engine.reset();   // deletes its log and clears the instance
        EXPECT_EQ(nullptr, EngineLogManager::getSingletonPtr());
        EXPECT_EQ(&service, fagex::LogManager::getSingletonPtr());
    }
    EXPECT_EQ(nullptr, fagex::LogManager::getSingletonPtr());
}

}   // namespace
