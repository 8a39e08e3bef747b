#include "fagex/fagexLogManager.h"

#include "fagex/fagexException.h"

namespace fagex {

LogManager::LogManager() = default;

LogManager::~LogManager() {
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto& entry : mLogs) delete entry.second;
    mLogs.clear();
    mDefaultLog = nullptr;
}

Log* LogManager::createLog(const std::string& name, bool defaultLog, bool debuggerOutput,
                           bool suppressFileOutput) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mLogs.find(name);
    Log* log;
    if (it != mLogs.end()) {
        log = it->second;
    } else {
        log = new Log(name, debuggerOutput, suppressFileOutput);
        mLogs.emplace(name, log);
    }
    if (!mDefaultLog || defaultLog) mDefaultLog = log;
    return log;
}

Log* LogManager::getLog(const std::string& name) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mLogs.find(name);
    if (it == mLogs.end())
        FAGEX_EXCEPT(Exception::ERR_INVALIDPARAMS, "Log not found. ", "LogManager::getLog");
    return it->second;
}

Log* LogManager::getDefaultLog() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDefaultLog;
}

Log* LogManager::setDefaultLog(Log* log) {
    std::lock_guard<std::mutex> lock(mMutex);
    Log* previous = mDefaultLog;
    mDefaultLog = log;
    return previous;
}

void LogManager::destroyLog(const std::string& name) {
    Log* doomed = nullptr;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mLogs.find(name);
        if (it == mLogs.end()) return;
        doomed = it->second;
        mLogs.erase(it);
        if (mDefaultLog == doomed) mDefaultLog = mLogs.empty() ? nullptr : mLogs.begin()->second;
    }
    delete doomed;
}

void LogManager::destroyLog(Log* log) {
    if (log) destroyLog(log->getName());
}

void LogManager::logMessage(const std::string& message, int level, bool maskDebug) {
    Log* log = getDefaultLog();
    if (log) log->logMessage(message, level, maskDebug);
}

void LogManager::setLogDetail(int level) {
    Log* log = getDefaultLog();
    if (log) log->setLogLevel(level);
}

}  // namespace fagex
