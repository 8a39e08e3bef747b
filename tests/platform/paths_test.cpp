#include "platform/paths.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>
#include <vector>

using test_support::ScopedEnv;
using test_support::TempDir;

TEST(Paths, WindowsFoldersMapToOverridableFolders)
{
    ScopedEnv appdata("VR_APPDATA_DIR", "/data");
    ScopedEnv qorn("VR_QORN_DIR", "/q");
    ScopedEnv velmar("VR_VELMAR_DIR", "/v");
    ScopedEnv marker("VR_CLIENT_LOG_MARKER", "/m/marker.log");
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"c:\\qorn", "/q"},
        {"C:\\QORN\\games\\a.pak", "/q/games/a.pak"},
        {"c:\\qornx\\a", "/data/drive_c/qornx/a"},   // only whole folder names match
        {"c:\\velmar\\x", "/v/x"},
        {"c:\\velmarp2sp\\dlllogout.log", "/m/marker.log"},
        {"c:\\velmarp2sp\\other.log", "/data/drive_c/velmarp2sp/other.log"},
        {"D:\\Games\\x", "/data/drive_d/Games/x"},
        {"d:\\", "/data/drive_d"},
        {"e:", "/data/drive_e"},
        {"a:b.txt", "a:b.txt"},   // not a drive path
        {"dll_download\\p2sp_game7\\", "dll_download/p2sp_game7/"},
        {"/already/posix", "/already/posix"},
        // ".." stops at the drive's root as on Windows: nothing climbs out
        // of the folder a drive or a prefix maps to.
        {"C:\\..\\..\\..\\canary\\", "/data/drive_c/canary/"},
        {"C:\\..\\..\\..\\canary\\drive", "/data/drive_c/canary/drive"},
        {"C:\\QORN\\..\\..\\canary\\qorn", "/data/drive_c/canary/qorn"},
        {"c:\\qorn\\games\\..\\..\\..", "/data/drive_c"},
        {"c:\\qorn\\.\\games\\..\\x\\", "/q/x/"},
        {"c:\\velmar\\..\\qorn\\a", "/q/a"},
        {"D:\\a\\..\\..\\b", "/data/drive_d/b"},
        {"d:\\..", "/data/drive_d"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::from_windows_path(c.in), c.out) << c.in;
}

TEST(Paths, DefaultFoldersFollowTheEnvironment)
{
    ScopedEnv appdata("VR_APPDATA_DIR", "/base");
    ScopedEnv system("VR_SYSTEM_DIR", "/sys32");
    EXPECT_EQ(platform::common_appdata_dir(), "/base");
    EXPECT_EQ(platform::system_dir(), "/sys32");
    ::unsetenv("VR_QORN_DIR");
    EXPECT_EQ(platform::qorn_dir(), "/base/qorn");
    {
        ScopedEnv module("VR_MODULE_DIR", "/mod");
        EXPECT_EQ(platform::module_dir(), "/mod");
    }
    ::unsetenv("VR_MODULE_DIR");
    EXPECT_TRUE(platform::folder_exists(platform::module_dir()));
}

TEST(Paths, JoinAndParent)
{
    EXPECT_EQ(platform::join_path("a", "b"), "a/b");
    EXPECT_EQ(platform::join_path("a/", "/b"), "a/b");
    EXPECT_EQ(platform::join_path("a/", "b"), "a/b");
    EXPECT_EQ(platform::join_path("", "b"), "b");
    EXPECT_EQ(platform::join_path("a", ""), "a");
    EXPECT_EQ(platform::parent_folder("/x/y/z.txt"), "/x/y");
    EXPECT_EQ(platform::parent_folder("/z"), "/");
    EXPECT_EQ(platform::parent_folder("z"), "");
}

TEST(Paths, FoldersFilesAndListing)
{
    TempDir dir;
    const std::string deep = dir.file("a/b/c");
    EXPECT_FALSE(platform::folder_exists(deep));
    EXPECT_TRUE(platform::create_folder(deep));
    EXPECT_TRUE(platform::create_folder(deep + "/"));   // existing: still true
    EXPECT_TRUE(platform::folder_exists(deep));
    EXPECT_FALSE(platform::file_exists(deep));

    const std::string f = dir.file("a/file.bin");
    EXPECT_EQ(platform::file_size(f), -1);
    EXPECT_EQ(platform::last_write_time(f), -1);
    ASSERT_TRUE(platform::write_file_atomically(f, std::string("12345")));
    EXPECT_TRUE(platform::file_exists(f));
    EXPECT_EQ(platform::file_size(f), 5);
    EXPECT_GT(platform::last_write_time(f), 1000000000);

    // A file in the way of a folder fails the creation.
    EXPECT_FALSE(platform::create_folder(f + "/sub"));

    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::list_folder(dir.file("a"), entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "b");
    EXPECT_TRUE(entries[0].is_dir);
    EXPECT_EQ(entries[1].name, "file.bin");
    EXPECT_FALSE(entries[1].is_dir);
    EXPECT_EQ(entries[1].size, 5u);
    EXPECT_FALSE(platform::list_folder(dir.file("missing"), entries));

    EXPECT_TRUE(platform::delete_file(f));
    EXPECT_FALSE(platform::file_exists(f));
    EXPECT_TRUE(platform::delete_file(f));   // already gone
}

TEST(Paths, AtomicWriteReplacesWholeAndLeavesNoTemporaries)
{
    TempDir dir;
    const std::string f = dir.file("new/sub/list.cfg");   // parent made on demand
    ASSERT_TRUE(platform::write_file_atomically(f, std::string(1000, 'a')));
    ASSERT_TRUE(platform::write_file_atomically(f, std::string("short")));
    std::string back;
    ASSERT_TRUE(platform::read_file(f, back));
    EXPECT_EQ(back, "short");

    // Concurrent saves: the file is always one of the writes, whole.
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i)
                platform::write_file_atomically(f, std::string(100 + t, static_cast<char>('a' + t)));
        });
    for (auto& w : writers)
        w.join();
    ASSERT_TRUE(platform::read_file(f, back));
    ASSERT_GE(back.size(), 100u);
    EXPECT_EQ(back, std::string(back.size(), back[0]));
    EXPECT_EQ(back.size(), 100u + static_cast<std::size_t>(back[0] - 'a'));

    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::list_folder(dir.file("new/sub"), entries));
    EXPECT_EQ(entries.size(), 1u);   // no temporary left behind

    EXPECT_FALSE(platform::read_file(f, back, 10));   // over the limit
    EXPECT_FALSE(platform::read_file(dir.file("none"), back));
    EXPECT_FALSE(platform::write_file_atomically("", "x", 1));
}

TEST(Paths, RenameOverReplacesTarget)
{
    TempDir dir;
    ASSERT_TRUE(platform::write_file_atomically(dir.file("a"), std::string("A")));
    ASSERT_TRUE(platform::write_file_atomically(dir.file("b"), std::string("B")));
    ASSERT_TRUE(platform::rename_over(dir.file("a"), dir.file("b")));
    std::string back;
    ASSERT_TRUE(platform::read_file(dir.file("b"), back));
    EXPECT_EQ(back, "A");
    EXPECT_FALSE(platform::file_exists(dir.file("a")));
    EXPECT_FALSE(platform::rename_over(dir.file("a"), dir.file("b")));
}
