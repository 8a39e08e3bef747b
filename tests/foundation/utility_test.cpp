#include "foundation/utility.h"

#include "platform/paths.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

TEST(Utility, ParseUrl)
{
    struct Case {
        const char* url;
        bool ok;
        const char* host;
        std::uint16_t port;
        const char* path;
    };
    const Case cases[] = {
        {"http://Update.Example.com/update_dll/p2sp_config.ini", true, "Update.Example.com", 80,
         "/update_dll/p2sp_config.ini"},
        {"http://127.0.0.1:8080/cdnquery.php?taskid=5", true, "127.0.0.1", 8080, "/cdnquery.php?taskid=5"},
        {"http://host", true, "host", 80, "/"},
        {"host:81/x", true, "host", 81, "/x"},
        {"http://host:0/x", true, "host", 80, "/x"},
        {"http://host:99999/x", true, "host", 80, "/x"},
        {"http://host:12ab/x", true, "host", 80, "/x"},
        {"http:///x", false, "", 80, "/x"},
        {"", false, "", 80, "/"},
    };
    for (const Case& c : cases) {
        std::string host = "junk", path = "junk";
        std::uint16_t port = 1;
        EXPECT_EQ(CUtility::ParseUrl(c.url, host, port, path), c.ok) << c.url;
        EXPECT_EQ(host, c.host) << c.url;
        EXPECT_EQ(port, c.port) << c.url;
        EXPECT_EQ(path, c.path) << c.url;
    }
}

TEST(Utility, CreateDirectoryRecursive)
{
    test_support::TempDir dir;
    EXPECT_EQ(CUtility::CreateDirectoryRecursive(dir.file("a\\b\\c")), 0);   // backslashes too
    EXPECT_TRUE(platform::folder_exists(dir.file("a/b/c")));
    EXPECT_EQ(CUtility::CreateDirectoryRecursive(dir.file("a/b/c/")), 0);   // already there
    ASSERT_TRUE(platform::write_file_atomically(dir.file("file"), std::string("x")));
    EXPECT_EQ(CUtility::CreateDirectoryRecursive(dir.file("file/sub")), -1);
    EXPECT_EQ(CUtility::CreateDirectoryRecursive(""), -1);
}
