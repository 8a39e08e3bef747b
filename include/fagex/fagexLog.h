// One named text log file with a level filter and listeners. Safe to use from
// several threads at once.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace fagex {

// Importance of one message.
enum LogMessageLevel { LML_TRIVIAL = 1, LML_NORMAL = 2, LML_CRITICAL = 3 };
// How much a log writes: a message is written when log level + message level >= 4.
enum LoggingLevel { LL_LOW = 1, LL_NORMAL = 2, LL_BOREME = 3 };

class Log;

// Receives every message a log writes (called on the logging thread, under the
// log's lock: a listener must not wait for another thread that logs).
class LogListener {
public:
    virtual ~LogListener() = default;
    virtual void messageLogged(const std::string& message, int level, bool maskDebug, const std::string& logName) = 0;
};

class Log {
public:
    // Opens (empties) the file of that name relative to the current folder
    // unless suppressFileOutput; a file that cannot be opened leaves the log
    // working without a file. debuggerOutput copies each message to stderr.
    explicit Log(const std::string& name, bool debuggerOutput = false, bool suppressFileOutput = false);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    const std::string& getName() const { return mName; }
    // True when the log has an open file.
    bool isOpen() const;

    // Writes "HH:MM:SS: message\n" (local time) and flushes, then hands the
    // message to the listeners, when enabled and log level + level >= 4.
    void logMessage(const std::string& message, int level = LML_NORMAL, bool maskDebug = false);

    void setLogLevel(int level);
    int getLogLevel() const;
    // A disabled log drops every message.
    void setEnabled(bool enabled);
    bool isEnabled() const;
    void setDebugOutputEnabled(bool debugOutput);

    void addListener(LogListener* listener);
    void removeListener(LogListener* listener);

    static constexpr int kThreshold = 4;

private:
    mutable std::recursive_mutex mMutex;   // guards the file, the settings and the listeners
    std::FILE* mFile = nullptr;
    std::string mName;
    int mLogLevel = LL_NORMAL;
    bool mEnabled = true;
    bool mDebugOut;
    std::vector<LogListener*> mListeners;
};

}   // namespace fagex
