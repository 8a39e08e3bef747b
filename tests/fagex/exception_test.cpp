#include "fagex/fagexException.h"

#include <gtest/gtest.h>

#include <typeinfo>

using fagex::Exception;

TEST(ExceptionTest, FullDescriptionCarriesEveryPart)
{
    fagex::InternalErrorException e(7, "Invalid blend factor.", "init_p2sp_engine()", "service/kx2dllDownloadManager",
                                    147);
    EXPECT_EQ(e.getFullDescription(),
              "FAGEX EXCEPTION(7:InternalErrorException): Invalid blend factor. in init_p2sp_engine() at "
              "service/kx2dllDownloadManager (line 147)");
    EXPECT_STREQ(e.what(), e.getFullDescription().c_str());
    EXPECT_EQ(e.getNumber(), 7);
    EXPECT_EQ(e.getLine(), 147);
    EXPECT_EQ(e.getTypeName(), "InternalErrorException");

    Exception plain(1, "d", "s");
    EXPECT_EQ(plain.getFullDescription(), "FAGEX EXCEPTION(1:Exception): d in s");
}

TEST(ExceptionTest, MacroThrowsTheFamilyMemberOfTheNumber)
{
    const struct {
        int number;
        const char* type;
    } cases[] = {
        {Exception::ERR_CANNOT_WRITE_TO_FILE, "IOException"},
        {Exception::ERR_INVALID_STATE, "InvalidStateException"},
        {Exception::ERR_INVALIDPARAMS, "InvalidParametersException"},
        {Exception::ERR_PLATFORM_API_ERROR, "PlatformErrorException"},
        {Exception::ERR_DUPLICATE_ITEM, "ItemIdentityException"},
        {Exception::ERR_ITEM_NOT_FOUND, "ItemIdentityException"},
        {Exception::ERR_FILE_NOT_FOUND, "FileNotFoundException"},
        {Exception::ERR_INTERNAL_ERROR, "InternalErrorException"},
        {Exception::ERR_RT_ASSERTION_FAILED, "RuntimeAssertionException"},
        {Exception::ERR_NOT_IMPLEMENTED, "UnimplementedException"},
        {99, "InternalErrorException"},
    };
    for (const auto& c : cases) {
        try {
            FAGEX_EXCEPT(c.number, "desc", "src");
        } catch (const Exception& e) {
            EXPECT_EQ(e.getTypeName(), c.type) << c.number;
            EXPECT_EQ(e.getNumber(), c.number);
            EXPECT_GT(e.getLine(), 0);
            EXPECT_NE(e.getFile().find("exception_test.cpp"), std::string::npos);
            EXPECT_NE(e.getFullDescription().find(std::string(c.type) + "): desc in src at "), std::string::npos);
        }
    }
    EXPECT_THROW(FAGEX_EXCEPT(Exception::ERR_FILE_NOT_FOUND, "x", "y"), fagex::FileNotFoundException);
    EXPECT_THROW(FAGEX_EXCEPT(Exception::ERR_FILE_NOT_FOUND, "x", "y"), std::exception);
}
