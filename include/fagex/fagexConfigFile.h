// Configuration text files: "[section]" lines and key/value lines, sections
// and keys kept in ascending text order, a key may repeat inside a section.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fagex/fagexDataStream.h"
#include "fagex/fagexException.h"

namespace fagex {

// Walks a map the way the configuration's callers expect: peek at the key,
// take the value and move on.
template <class T>
class MapIterator {
public:
    MapIterator(typename T::iterator start, typename T::iterator end) : mCurrent(start), mEnd(end) {}
    bool hasMoreElements() const { return mCurrent != mEnd; }
    // The current value, then moves to the next entry.
    typename T::mapped_type& getNext() { return (mCurrent++)->second; }
    const typename T::key_type& peekNextKey() const { return mCurrent->first; }
    typename T::mapped_type& peekNextValue() const { return mCurrent->second; }
    typename T::mapped_type* peekNextValuePtr() const { return &mCurrent->second; }
    void moveNext() { ++mCurrent; }

private:
    typename T::iterator mCurrent;
    typename T::iterator mEnd;
};

class ConfigFile {
public:
    using SettingsMultiMap = std::multimap<std::string, std::string>;
    using SettingsBySection = std::map<std::string, SettingsMultiMap>;
    using SettingsIterator = MapIterator<SettingsMultiMap>;
    using SectionIterator = MapIterator<SettingsBySection>;

    ConfigFile() = default;
    ConfigFile(const ConfigFile& other);
    ConfigFile& operator=(const ConfigFile& other);

    // Replaces the content with the file's. Lines are split at the first run
    // of separator characters into key and value (trimmed of " \t\r" when
    // trimWhitespace); lines starting with "#" or "@" and lines without a
    // separator are ignored. Throws FileNotFoundException ("'" file "' file
    // not found!") when the file cannot be opened; the content is then kept.
    void load(const std::string& filename, const std::string& separators = "\t:= ", bool trimWhitespace = true);
    // Same from a stream.
    void load(DataStream& stream, const std::string& separators = "\t:= ", bool trimWhitespace = true);
    void loadFromString(const std::string& text, const std::string& separators = "\t:= ", bool trimWhitespace = true);

    // Writes "[" name "]" for each section with a non-empty name, then one
    // key "=" value line per entry, replacing the file through a temporary
    // file and a rename, so a crash never loses it. Saves of one object run
    // one at a time. Returns false (file untouched) when it cannot be written.
    bool save(const std::string& filename) const;
    // The text save writes. A "\n" inside a name or value is written as a
    // blank so that a value can never start a line of its own.
    std::string saveToString() const;

    // The first value of the key in the section; empty when either is missing.
    std::string getSetting(const std::string& section, const std::string& key) const;
    // Every value of the key in the section, in the order they were added.
    std::vector<std::string> getMultiSetting(const std::string& section, const std::string& key) const;
    // Assigns the value to every entry of the key; returns how many changed
    // (0, adding nothing, when the section or key is missing).
    size_t setSetting(const std::string& section, const std::string& key, const std::string& value);
    // Appends one entry (after existing entries of the key), creating the
    // section when missing.
    void addSetting(const std::string& section, const std::string& key, const std::string& value);
    // Removes every entry of the key; returns how many went.
    size_t removeSetting(const std::string& section, const std::string& key);
    bool hasSection(const std::string& section) const;
    // Removes every section.
    void clear();

    // Sections in ascending name order. The iterators walk the live content:
    // no other thread may change the object while one is in use.
    SectionIterator getSectionIterator();
    // The section's entries in ascending key order; throws
    // ItemIdentityException ("Cannot find section " name) when missing.
    SettingsIterator getSettingsIterator(const std::string& section);

    // A copy of the whole content.
    SettingsBySection getAll() const;
    bool operator==(const ConfigFile& other) const;
    bool operator!=(const ConfigFile& other) const { return !(*this == other); }

private:
    void parse(DataStream& stream, const std::string& separators, bool trimWhitespace, SettingsBySection& out) const;

    mutable std::mutex mMutex;       // guards mSettings: readers and writers run on several threads
    mutable std::mutex mSaveMutex;   // one save of this object at a time
    SettingsBySection mSettings;
};

}   // namespace fagex
