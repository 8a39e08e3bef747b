#include "fagex/fagexLogManager.h"

#include "fagex/fagexException.h"

namespace fagex {

LogRegistry::~LogRegistry()
{
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto& entry : mLogs)
        delete entry.second;
    mLogs.clear();
    mDefaultLog = nullptr;
}

Log* LogRegistry::createLog(const std::string& name, bool defaultLog, bool debuggerOutput, bool suppressFileOutput)
{
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mLogs.find(name);
    Log* log;
    if (it != mLogs.end()) {
        log = it->second;
    } else {
        log = new Log(name, debuggerOutput, suppressFileOutput);
        mLogs.emplace(name, log);
    }
    if (!mDefaultLog || defaultLog)
        mDefaultLog = log;
    return log;
}

Log* LogRegistry::getLog(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mLogs.find(name);
    if (it == mLogs.end())
        FAGEX_EXCEPT(Exception::ERR_INVALIDPARAMS, "Log not found. ", mGetLogSource);
    return it->second;
}

Log* LogRegistry::getDefaultLog()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mDefaultLog;
}

Log* LogRegistry::setDefaultLog(Log* log)
{
    std::lock_guard<std::mutex> lock(mMutex);
    Log* previous = mDefaultLog;
    mDefaultLog = log;
    return previous;
}

void LogRegistry::destroyLog(const std::string& name)
{
    Log* doomed = nullptr;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mLogs.find(name);
        if (it == mLogs.end())
            return;
        doomed = it->second;
        mLogs.erase(it);
        if (mDefaultLog == doomed)
            mDefaultLog = mLogs.empty() ? nullptr : mLogs.begin()->second;
    }
    delete doomed;
}

void LogRegistry::destroyLog(Log* log)
{
    if (log)
        destroyLog(log->getName());
}

void LogRegistry::logMessage(const std::string& message, int level, bool maskDebug)
{
    Log* log = getDefaultLog();
    if (log)
        log->logMessage(message, level, maskDebug);
}

void LogRegistry::setLogDetail(int level)
{
    Log* log = getDefaultLog();
    if (log)
        log->setLogLevel(level);
}

}   // namespace fagex
