// The fagex exception family: every exception carries a number (one of
// Exception::ExceptionCodes), a description, the operation that raised it
// (source) and the file and line of the throw.
#pragma once

#include <exception>
#include <string>

namespace fagex {

class Exception : public std::exception {
public:
    // Numbers stay stable: callers and logs compare them.
    enum ExceptionCodes {
        ERR_CANNOT_WRITE_TO_FILE = 0,
        ERR_INVALID_STATE = 1,
        ERR_INVALIDPARAMS = 2,
        ERR_PLATFORM_API_ERROR = 3,
        ERR_DUPLICATE_ITEM = 4,
        ERR_ITEM_NOT_FOUND = 5,
        ERR_FILE_NOT_FOUND = 6,
        ERR_INTERNAL_ERROR = 7,
        ERR_RT_ASSERTION_FAILED = 8,
        ERR_NOT_IMPLEMENTED = 9
    };

    Exception(int number, const std::string& description, const std::string& source);
    Exception(int number, const std::string& description, const std::string& source, const char* type, const char* file,
              long line);
    ~Exception() noexcept override = default;

    // "FAGEX EXCEPTION(<number>:<type>): <description> in <source>" followed by
    // " at <file> (line <n>)" when the throw site is known.
    const std::string& getFullDescription() const { return mFullDesc; }
    int getNumber() const noexcept { return mNumber; }
    const std::string& getSource() const { return mSource; }
    const std::string& getFile() const { return mFile; }
    long getLine() const { return mLine; }
    const std::string& getDescription() const { return mDescription; }
    const std::string& getTypeName() const { return mTypeName; }
    // Same text as getFullDescription().
    const char* what() const noexcept override { return mFullDesc.c_str(); }

private:
    void buildFullDescription();

    int mNumber;
    long mLine;
    std::string mTypeName;
    std::string mDescription;
    std::string mSource;
    std::string mFile;
    std::string mFullDesc;   // built once, so what() never allocates
};

#define FAGEX_DECLARE_EXCEPTION(Name)                                                                                  \
    class Name : public Exception {                                                                                    \
    public:                                                                                                            \
        Name(int number, const std::string& description, const std::string& source, const char* file, long line)       \
            : Exception(number, description, source, #Name, file, line)                                                \
        {                                                                                                              \
        }                                                                                                              \
    };

FAGEX_DECLARE_EXCEPTION(IOException)                  // ERR_CANNOT_WRITE_TO_FILE
FAGEX_DECLARE_EXCEPTION(InvalidStateException)        // ERR_INVALID_STATE
FAGEX_DECLARE_EXCEPTION(InvalidParametersException)   // ERR_INVALIDPARAMS
FAGEX_DECLARE_EXCEPTION(PlatformErrorException)       // ERR_PLATFORM_API_ERROR
FAGEX_DECLARE_EXCEPTION(ItemIdentityException)        // ERR_DUPLICATE_ITEM, ERR_ITEM_NOT_FOUND
FAGEX_DECLARE_EXCEPTION(FileNotFoundException)        // ERR_FILE_NOT_FOUND
FAGEX_DECLARE_EXCEPTION(InternalErrorException)       // ERR_INTERNAL_ERROR
FAGEX_DECLARE_EXCEPTION(RuntimeAssertionException)    // ERR_RT_ASSERTION_FAILED
FAGEX_DECLARE_EXCEPTION(UnimplementedException)       // ERR_NOT_IMPLEMENTED

#undef FAGEX_DECLARE_EXCEPTION

// Throws the family member that belongs to the number (an unknown number
// gives InternalErrorException). Never returns.
[[noreturn]] void throwException(int number, const std::string& description, const std::string& source,
                                 const char* file, long line);

}   // namespace fagex

// Throws the exception of that number with the current file and line.
#define FAGEX_EXCEPT(num, desc, src) ::fagex::throwException((num), (desc), (src), __FILE__, __LINE__)
