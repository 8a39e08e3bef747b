// Sequential byte streams read by line or by block: a memory stream and a
// file stream.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "fagex/fagexSharedPtr.h"

namespace fagex {

class DataStream {
public:
    explicit DataStream(std::string name = std::string()) : mName(std::move(name)) {}
    virtual ~DataStream() = default;
    DataStream(const DataStream&) = delete;
    DataStream& operator=(const DataStream&) = delete;

    const std::string& getName() const { return mName; }
    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual size_t read(void* buf, size_t count) = 0;
    // True once every byte has been read.
    virtual bool eof() const = 0;
    virtual void close() = 0;

    // Reads one line (to "\n" or the end); the "\n" and a "\r" before it are
    // removed, and with trimAfter blanks, tabs and "\r" at both ends too.
    // Lines longer than maxLength bytes are cut there and the rest of the line
    // skipped, so hostile input cannot grow memory without bound.
    std::string getLine(bool trimAfter = true, size_t maxLength = kDefaultMaxLine);
    // The rest of the stream as one text.
    std::string getAsString();

    static constexpr size_t kDefaultMaxLine = 16u * 1024u * 1024u;

private:
    std::string mName;
};

using DataStreamPtr = SharedPtr<DataStream>;

// A stream over a copy of a text held in memory.
class MemoryDataStream : public DataStream {
public:
    explicit MemoryDataStream(std::string data, std::string name = std::string());
    size_t read(void* buf, size_t count) override;
    bool eof() const override { return mPos >= mData.size(); }
    void close() override
    {
        mData.clear();
        mPos = 0;
    }
    size_t size() const { return mData.size(); }

private:
    std::string mData;
    size_t mPos = 0;
};

// A stream over an open file; owns the FILE and closes it.
class FileDataStream : public DataStream {
public:
    FileDataStream(std::FILE* file, std::string name);
    ~FileDataStream() override;
    size_t read(void* buf, size_t count) override;
    bool eof() const override;
    void close() override;
    // True when a read failed for a reason other than the end of the file.
    bool failed() const;

private:
    std::FILE* mFile;
};

}   // namespace fagex
