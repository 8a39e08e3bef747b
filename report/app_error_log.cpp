#include "report/app_error_log.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/event_log.h"
#include "platform/paths.h"

namespace {

constexpr const char* state_file_name = "AppErrSentItem.dat";
constexpr const char* app_error_source = "Application Error";

bool ends_with_no_case(const std::string& text, const std::string& suffix)
{
    if (suffix.size() > text.size())
        return false;
    return std::equal(suffix.rbegin(), suffix.rend(), text.rbegin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

}   // namespace

CAppErrorLog::CAppErrorLog(const std::string& folder)
    : m_path(platform::join_path(folder.empty() ? platform::log_dir() : folder, state_file_name))
{
}

bool CAppErrorLog::LoadSentState()
{
    m_last_sent = 0;
    std::string text;
    if (!platform::read_file(m_path, text, 64))
        return false;
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || !std::isdigit(static_cast<unsigned char>(text[start])))
        return false;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str() + start, &end, 10);
    if (value < 0)
        return false;
    m_last_sent = value;
    return true;
}

std::vector<AppErrorRecord> CAppErrorLog::CollectAppErrorEvents(const std::string& process_suffix)
{
    std::vector<AppErrorRecord> out;
    platform::EventLogReader reader;
    if (!reader.open("Application"))
        return out;
    std::vector<platform::EventLogRecord> batch;
    // The reader ends by itself; the cap only bounds a log that never does.
    for (int round = 0; round < 10000 && reader.read(batch); ++round) {
        for (const platform::EventLogRecord& e : batch) {
            if (e.source != app_error_source || e.strings.empty() || !ends_with_no_case(e.strings[0], process_suffix))
                continue;
            AppErrorRecord r;
            r.time = e.time_generated;
            for (std::size_t i = 0; i < 5 && i < e.strings.size(); ++i)
                r.texts[i] = e.strings[i];
            out.push_back(r);
        }
        batch.clear();
    }
    reader.close();
    std::stable_sort(out.begin(), out.end(),
                     [](const AppErrorRecord& a, const AppErrorRecord& b) { return a.time < b.time; });
    return out;
}

bool CAppErrorLog::IsAlreadySent(const AppErrorRecord& record) const
{
    return record.time <= m_last_sent;
}

bool CAppErrorLog::SaveSentState(const AppErrorRecord& record)
{
    if (!platform::write_file_atomically(m_path, std::to_string(record.time) + "\n"))
        return false;
    m_last_sent = record.time;
    return true;
}
