// Named logs with a default log, and the process-wide manager that holds them.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "fagex/fagexLog.h"
#include "fagex/fagexSingleton.h"

namespace fagex {

// A set of named logs with a default log; the body of the process-wide log
// managers. Deleting it deletes every log it holds.
class LogRegistry {
public:
    LogRegistry(const LogRegistry&) = delete;
    LogRegistry& operator=(const LogRegistry&) = delete;

    // Creates the log (its file emptied) and stores it under the name; it
    // becomes the default log when asked or when there is none yet. A name in
    // use returns the existing log.
    Log* createLog(const std::string& name, bool defaultLog = false, bool debuggerOutput = false,
                   bool suppressFileOutput = false);
    // The log of that name; throws InvalidParametersException "Log not found. "
    // (source "<owner>::getLog") when there is none.
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

protected:
    // `owner` names the manager in the source of getLog's exception.
    explicit LogRegistry(const char* owner) : mGetLogSource(std::string(owner) + "::getLog") {}
    ~LogRegistry();

private:
    const std::string mGetLogSource;
    std::mutex mMutex;   // guards the map and the default log
    std::map<std::string, Log*> mLogs;
    Log* mDefaultLog = nullptr;
};

// The process-wide log manager of the service.
class LogManager : public Singleton<LogManager>, public LogRegistry {
public:
    // Registers itself as the process-wide instance.
    LogManager() : LogRegistry("LogManager") {}
    // Deletes every log it holds, then clears the instance.
    ~LogManager() = default;
};

}   // namespace fagex
