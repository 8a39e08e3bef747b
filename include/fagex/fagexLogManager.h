// The process-wide set of named logs with a default log.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "fagex/fagexLog.h"
#include "fagex/fagexSingleton.h"

namespace fagex {

class LogManager : public Singleton<LogManager> {
public:
    // Registers itself as the process-wide instance.
    LogManager();
    // Deletes every log it holds and clears the instance.
    ~LogManager();

    // Creates the log (its file emptied) and stores it under the name; it
    // becomes the default log when asked or when there is none yet. A name in
    // use returns the existing log.
    Log* createLog(const std::string& name, bool defaultLog = false, bool debuggerOutput = false,
                   bool suppressFileOutput = false);
    // The log of that name; throws InvalidParametersException "Log not found. "
    // (source "LogManager::getLog") when there is none.
    Log* getLog(const std::string& name);
    // The default log, null until a log exists.
    Log* getDefaultLog();
    // Makes the log the default one; returns the previous default.
    Log* setDefaultLog(Log* log);
    // Deletes the log (no other thread may still be using it).
    void destroyLog(const std::string& name);
    void destroyLog(Log* log);

    // Writes to the default log, when there is one.
    void logMessage(const std::string& message, int level = LML_NORMAL, bool maskDebug = false);
    // Sets the level of the default log.
    void setLogDetail(int level);

private:
    std::mutex mMutex;  // guards the map and the default log
    std::map<std::string, Log*> mLogs;
    Log* mDefaultLog = nullptr;
};

}  // namespace fagex
