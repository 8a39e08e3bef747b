#include "fagex/fagexException.h"

#include <sstream>

namespace fagex {

Exception::Exception(int number, const std::string& description, const std::string& source)
    : Exception(number, description, source, "Exception", "", 0)
{
}

Exception::Exception(int number, const std::string& description, const std::string& source, const char* type,
                     const char* file, long line)
    : mNumber(number),
      mLine(line),
      mTypeName(type ? type : "Exception"),
      mDescription(description),
      mSource(source),
      mFile(file ? file : "")
{
    buildFullDescription();
}

void Exception::buildFullDescription()
{
    std::ostringstream desc;
    desc << "FAGEX EXCEPTION(" << mNumber << ":" << mTypeName << "): " << mDescription << " in " << mSource;
    if (mLine > 0)
        desc << " at " << mFile << " (line " << mLine << ")";
    mFullDesc = desc.str();
}

void throwException(int number, const std::string& description, const std::string& source, const char* file, long line)
{
    switch (number) {
    case Exception::ERR_CANNOT_WRITE_TO_FILE:
        throw IOException(number, description, source, file, line);
    case Exception::ERR_INVALID_STATE:
        throw InvalidStateException(number, description, source, file, line);
    case Exception::ERR_INVALIDPARAMS:
        throw InvalidParametersException(number, description, source, file, line);
    case Exception::ERR_PLATFORM_API_ERROR:
        throw PlatformErrorException(number, description, source, file, line);
    case Exception::ERR_DUPLICATE_ITEM:
    case Exception::ERR_ITEM_NOT_FOUND:
        throw ItemIdentityException(number, description, source, file, line);
    case Exception::ERR_FILE_NOT_FOUND:
        throw FileNotFoundException(number, description, source, file, line);
    case Exception::ERR_RT_ASSERTION_FAILED:
        throw RuntimeAssertionException(number, description, source, file, line);
    case Exception::ERR_NOT_IMPLEMENTED:
        throw UnimplementedException(number, description, source, file, line);
    case Exception::ERR_INTERNAL_ERROR:
    default:
        throw InternalErrorException(number, description, source, file, line);
    }
}

}   // namespace fagex
