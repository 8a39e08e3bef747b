#include "fagex/fagexConfigFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fagex/fagexAtomicFile.h"
#include "fagex/fagexStringUtil.h"

namespace fagex {

namespace {

// A configuration file is small; anything this large is not one.
constexpr off_t kMaxFileSize = 256 * 1024 * 1024;

// Opens a regular file for reading; null for folders and missing files.
std::FILE* openRegularFile(const std::string& filename)
{
    const int fd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file)
        ::close(fd);
    return file;
}

// A line break in a name or value would start a line of its own on reload.
std::string oneLine(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '\n')
            c = ' ';
    return out;
}

}   // namespace

ConfigFile::ConfigFile(const ConfigFile& other) : mSettings(other.getAll()) {}

ConfigFile& ConfigFile::operator=(const ConfigFile& other)
{
    if (this != &other) {
        SettingsBySection copy = other.getAll();
        std::lock_guard<std::mutex> lock(mMutex);
        mSettings.swap(copy);
    }
    return *this;
}

void ConfigFile::load(const std::string& filename, const std::string& separators, bool trimWhitespace)
{
    std::FILE* file = openRegularFile(filename);
    if (!file)
        FAGEX_EXCEPT(Exception::ERR_FILE_NOT_FOUND, "'" + filename + "' file not found!", "ConfigFile::load");
    struct stat st {};
    if (::fstat(::fileno(file), &st) == 0 && st.st_size > kMaxFileSize) {
        std::fclose(file);
        FAGEX_EXCEPT(Exception::ERR_INVALIDPARAMS, "'" + filename + "' is too large", "ConfigFile::load");
    }
    FileDataStream stream(file, filename);
    // Read everything first so a read error leaves the old content in place.
    MemoryDataStream content(stream.getAsString(), filename);
    if (stream.failed())
        FAGEX_EXCEPT(Exception::ERR_CANNOT_WRITE_TO_FILE, "'" + filename + "' cannot be read", "ConfigFile::load");
    load(content, separators, trimWhitespace);
}

void ConfigFile::loadFromString(const std::string& text, const std::string& separators, bool trimWhitespace)
{
    MemoryDataStream stream(text);
    load(stream, separators, trimWhitespace);
}

void ConfigFile::load(DataStream& stream, const std::string& separators, bool trimWhitespace)
{
    SettingsBySection parsed;
    parse(stream, separators, trimWhitespace, parsed);
    std::lock_guard<std::mutex> lock(mMutex);
    mSettings.swap(parsed);
}

void ConfigFile::parse(DataStream& stream, const std::string& separators, bool trimWhitespace,
                       SettingsBySection& out) const
{
    SettingsMultiMap* current = nullptr;   // null: the nameless section, made on its first entry
    bool firstLine = true;
    while (!stream.eof()) {
        std::string line = stream.getLine();
        if (firstLine) {
            // Editors on the launcher's side save UTF-8 with a byte-order mark.
            if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
                line.erase(0, 3);
                StringUtil::trim(line, true, true);
            }
            firstLine = false;
        }
        if (line.empty() || line[0] == '#' || line[0] == '@')
            continue;
        if (line[0] == '[' && line.size() >= 2 && line.back() == ']') {
            // The nameless section has no header line when saved, so it only
            // comes to exist through an entry (keeps save and load symmetric).
            const std::string name = line.substr(1, line.size() - 2);
            current = name.empty() ? nullptr : &out[name];
            continue;
        }
        const size_t sep = line.find_first_of(separators);
        if (sep == std::string::npos)
            continue;   // not a key/value line
        std::string key = line.substr(0, sep);
        const size_t valueStart = line.find_first_not_of(separators, sep);
        std::string value = valueStart == std::string::npos ? std::string() : line.substr(valueStart);
        if (trimWhitespace) {
            StringUtil::trim(key, true, true);
            StringUtil::trim(value, true, true);
        }
        if (!current)
            current = &out[StringUtil::BLANK];
        current->emplace(std::move(key), std::move(value));
    }
}

bool ConfigFile::save(const std::string& filename) const
{
    std::lock_guard<std::mutex> saveLock(mSaveMutex);
    return writeFileAtomically(filename, saveToString());
}

std::string ConfigFile::saveToString() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    std::string out;
    for (const auto& section : mSettings) {
        if (!section.first.empty())
            out += "[" + oneLine(section.first) + "]\n";
        for (const auto& entry : section.second)
            out += oneLine(entry.first) + "=" + oneLine(entry.second) + "\n";
    }
    return out;
}

std::string ConfigFile::getSetting(const std::string& section, const std::string& key) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    auto sec = mSettings.find(section);
    if (sec == mSettings.end())
        return StringUtil::BLANK;
    auto it = sec->second.find(key);
    return it == sec->second.end() ? StringUtil::BLANK : it->second;
}

std::vector<std::string> ConfigFile::getMultiSetting(const std::string& section, const std::string& key) const
{
    std::vector<std::string> values;
    std::lock_guard<std::mutex> lock(mMutex);
    auto sec = mSettings.find(section);
    if (sec == mSettings.end())
        return values;
    auto range = sec->second.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
        values.push_back(it->second);
    return values;
}

size_t ConfigFile::setSetting(const std::string& section, const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> lock(mMutex);
    auto sec = mSettings.find(section);
    if (sec == mSettings.end())
        return 0;
    size_t changed = 0;
    auto range = sec->second.equal_range(key);
    for (auto it = range.first; it != range.second; ++it, ++changed)
        it->second = value;
    return changed;
}

void ConfigFile::addSetting(const std::string& section, const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mSettings[section].emplace(key, value);   // multimap: lands after equal keys
}

size_t ConfigFile::removeSetting(const std::string& section, const std::string& key)
{
    std::lock_guard<std::mutex> lock(mMutex);
    auto sec = mSettings.find(section);
    return sec == mSettings.end() ? 0 : sec->second.erase(key);
}

bool ConfigFile::hasSection(const std::string& section) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mSettings.count(section) != 0;
}

void ConfigFile::clear()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mSettings.clear();
}

ConfigFile::SectionIterator ConfigFile::getSectionIterator()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return SectionIterator(mSettings.begin(), mSettings.end());
}

ConfigFile::SettingsIterator ConfigFile::getSettingsIterator(const std::string& section)
{
    std::lock_guard<std::mutex> lock(mMutex);
    auto sec = mSettings.find(section);
    if (sec == mSettings.end())
        FAGEX_EXCEPT(Exception::ERR_ITEM_NOT_FOUND, "Cannot find section " + section,
                     "ConfigFile::getSettingsIterator");
    return SettingsIterator(sec->second.begin(), sec->second.end());
}

ConfigFile::SettingsBySection ConfigFile::getAll() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mSettings;
}

bool ConfigFile::operator==(const ConfigFile& other) const
{
    if (this == &other)
        return true;
    return getAll() == other.getAll();
}

}   // namespace fagex
