// Configuration text ("p2sp_config.ini", "local_task_list.cfg"): the same
// text read from memory, from a stream that hands it over in the chunk size
// the first byte picks, and from a file gives the same content, and what
// save writes reads back as that content.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fagex/fagexConfigFile.h"
#include "fagex/fagexDataStream.h"
#include "fuzz_check.h"
#include "scratch_file.h"

namespace {

// A stream that never returns more than `chunk` bytes per read, as a pipe
// or a slow disk may.
class ChunkedStream : public fagex::DataStream {
public:
    ChunkedStream(const std::string& data, size_t chunk) : mData(data), mChunk(chunk) {}
    size_t read(void* buf, size_t count) override
    {
        size_t n = count < mChunk ? count : mChunk;
        if (n > mData.size() - mPos)
            n = mData.size() - mPos;
        if (n > 0)
            std::memcpy(buf, mData.data() + mPos, n);
        mPos += n;
        return n;
    }
    bool eof() const override { return mPos >= mData.size(); }
    void close() override { mPos = mData.size(); }

private:
    const std::string& mData;
    size_t mChunk;
    size_t mPos = 0;
};

bool value_starts_with_separator(const fagex::ConfigFile::SettingsBySection& content)
{
    for (const auto& section : content)
        for (const auto& entry : section.second)
            if (!entry.second.empty() && std::string("\t:= ").find(entry.second[0]) != std::string::npos)
                return true;
    return false;
}

const std::string& scratch_path()
{
    return fuzz_scratch::path("config_file_fuzz", "");
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    fagex::ConfigFile whole;
    whole.loadFromString(text);
    const fagex::ConfigFile::SettingsBySection content = whole.getAll();
    for (const auto& section : content) {
        FUZZ_CHECK(whole.hasSection(section.first));
        for (const auto& entry : section.second) {
            FUZZ_CHECK(entry.first.find('\n') == std::string::npos);
            FUZZ_CHECK(entry.second.find('\n') == std::string::npos);
            FUZZ_CHECK(whole.getMultiSetting(section.first, entry.first).size() == section.second.count(entry.first));
        }
    }

    if (size > 0) {
        ChunkedStream stream(text, 1 + data[0] % 64);
        fagex::ConfigFile chunked;
        chunked.load(stream);
        FUZZ_CHECK(chunked == whole);
    }

    // Only the first kilobytes go through a file: the disk is the slow part.
    if (size < 4096 && fuzz_scratch::write(scratch_path(), text.data(), text.size())) {
        fagex::ConfigFile from_file;
        from_file.load(scratch_path());
        FUZZ_CHECK(from_file == whole);
    }

    // What save writes is read back as the same content. Known gaps, left
    // out here: a leading byte-order mark is dropped by the reader, and a
    // value that starts with a separator loses it.
    const std::string saved = whole.saveToString();
    fagex::ConfigFile again;
    again.loadFromString(saved);
    if (saved.compare(0, 3, "\xEF\xBB\xBF") != 0 && !value_starts_with_separator(content)) {
        FUZZ_CHECK(again == whole);
        FUZZ_CHECK(again.saveToString() == saved);
    }

    // The other separators the callers use never break the reader.
    fagex::ConfigFile equals_only;
    equals_only.loadFromString(text, "=", false);
    return 0;
}
