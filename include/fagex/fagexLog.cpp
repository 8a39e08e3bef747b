#include "fagex/fagexLog.h"

#include <algorithm>
#include <ctime>
#include <iostream>

namespace fagex {

Log::Log(const std::string& name, bool debuggerOutput, bool suppressFileOutput) : mName(name), mDebugOut(debuggerOutput)
{
    if (!suppressFileOutput && !name.empty()) {
        // "e": the log file must not leak into child processes.
        mFile = std::fopen(name.c_str(), "we");
    }
}

Log::~Log()
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    if (mFile)
        std::fclose(mFile);
    mFile = nullptr;
}

bool Log::isOpen() const
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mFile != nullptr;
}

void Log::logMessage(const std::string& message, int level, bool maskDebug)
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    if (!mEnabled || mLogLevel + level < kThreshold)
        return;

    for (LogListener* listener : mListeners)
        listener->messageLogged(message, level, maskDebug, mName);

    if (mDebugOut && !maskDebug)
        std::cerr << message << std::endl;

    if (mFile) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char stamp[16];
        std::strftime(stamp, sizeof stamp, "%H:%M:%S: ", &local);
        std::fputs(stamp, mFile);
        std::fwrite(message.data(), 1, message.size(), mFile);
        std::fputc('\n', mFile);
        std::fflush(mFile);
    }
}

void Log::setLogLevel(int level)
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mLogLevel = level;
}

int Log::getLogLevel() const
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mLogLevel;
}

void Log::setEnabled(bool enabled)
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mEnabled = enabled;
}

bool Log::isEnabled() const
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mEnabled;
}

void Log::setDebugOutputEnabled(bool debugOutput)
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mDebugOut = debugOutput;
}

void Log::addListener(LogListener* listener)
{
    if (!listener)
        return;
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    if (std::find(mListeners.begin(), mListeners.end(), listener) == mListeners.end())
        mListeners.push_back(listener);
}

void Log::removeListener(LogListener* listener)
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mListeners.erase(std::remove(mListeners.begin(), mListeners.end(), listener), mListeners.end());
}

}   // namespace fagex
