#include "fagex/fagexDataStream.h"

#include <algorithm>
#include <cstring>

#include "fagex/fagexStringUtil.h"

namespace fagex {

std::string DataStream::getLine(bool trimAfter, size_t maxLength)
{
    std::string line;
    char c;
    bool truncated = false;
    while (read(&c, 1) == 1) {
        if (c == '\n')
            break;
        if (line.size() < maxLength) {
            line.push_back(c);
        } else {
            truncated = true;   // keep reading to the end of the line, storing nothing
        }
    }
    if (!truncated && !line.empty() && line.back() == '\r')
        line.pop_back();
    if (trimAfter)
        StringUtil::trim(line, true, true);
    return line;
}

std::string DataStream::getAsString()
{
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = read(buf, sizeof buf)) > 0)
        out.append(buf, n);
    return out;
}

MemoryDataStream::MemoryDataStream(std::string data, std::string name)
    : DataStream(std::move(name)), mData(std::move(data))
{
}

size_t MemoryDataStream::read(void* buf, size_t count)
{
    const size_t n = std::min(count, mData.size() - mPos);
    if (n > 0)
        std::memcpy(buf, mData.data() + mPos, n);
    mPos += n;
    return n;
}

FileDataStream::FileDataStream(std::FILE* file, std::string name) : DataStream(std::move(name)), mFile(file) {}

FileDataStream::~FileDataStream()
{
    close();
}

size_t FileDataStream::read(void* buf, size_t count)
{
    if (!mFile || count == 0)
        return 0;
    return std::fread(buf, 1, count, mFile);
}

bool FileDataStream::eof() const
{
    return !mFile || std::feof(mFile) != 0;
}

bool FileDataStream::failed() const
{
    return mFile && std::ferror(mFile) != 0;
}

void FileDataStream::close()
{
    if (mFile) {
        std::fclose(mFile);
        mFile = nullptr;
    }
}

}   // namespace fagex
