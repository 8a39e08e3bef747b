#include "service/config_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

#include "support/temp_dir.h"

namespace {

using test_support::ScopedEnv;
using test_support::TempDir;

void write(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

const std::string usable_fetch = "[Preferred_Settings]\nRIS_SOUTH=ris.example\nmax_download_speed=5000.0\n"
                                 "[Preferred_Settings_New]\nRIS_SOUTH=ris.example\nmax_download_speed=5000.0\n";

TEST(ConfigBuild, NoBranchAnywhereGivesTheNewSuffixWithDefaults)
{
    TempDir dir;
    ScopedEnv task("VR_TASK_SERVER", "10.1.2.3:8080");
    fagex::ConfigFile config;
    const std::string suffix = kx2dll::build_config(config, dir.file("none"), dir.file("none2"), 10);
    EXPECT_EQ(suffix, "_New");
    EXPECT_EQ(config.getSetting("Branch", "10"), "_New");
    EXPECT_EQ(config.getSetting("Preferred_Settings_New", "ListenPort"), "9000");
    EXPECT_EQ(config.getSetting("Preferred_Settings_New", "max_download_task_num"), "10");
    EXPECT_EQ(config.getSetting("Preferred_Settings_New", "RIS_SOUTH_PORT"), "3334");
    EXPECT_EQ(config.getSetting("Preferred_Settings_New", "defaulte_save_path"), "C:\\QORN");
    EXPECT_EQ(config.getSetting("Preferred_Settings", "ListenPort"), "");
    EXPECT_EQ(config.getSetting("game_last_version_New", "10"), "0");
    EXPECT_EQ(config.getSetting("dll_info_New", "updateTaskListURL"), "http://10.1.2.3:8080/update_task/task_list.txt");
    EXPECT_EQ(config.getSetting("Preferred_Settings_New", "write_log"), "");   // never written
    // Another game gets no suffix.
    fagex::ConfigFile other;
    EXPECT_EQ(kx2dll::build_config(other, dir.file("none"), dir.file("none2"), 12), "");
    EXPECT_EQ(other.getSetting("Preferred_Settings", "max_upload_speed"), "1000.0");
}

TEST(ConfigBuild, BranchTextOtherThanNewGivesNoSuffix)
{
    TempDir dir;
    write(dir.file("tmp.ini"), usable_fetch + "[Branch]\n10=_Old\n");
    fagex::ConfigFile config;
    EXPECT_EQ(kx2dll::build_config(config, dir.file("tmp.ini"), dir.file("none"), 10), "");
}

TEST(ConfigBuild, UserSettingsSurviveAnUpdateInBothBranches)
{
    TempDir dir;
    write(dir.file("tmp.ini"), usable_fetch);
    // The local file has no "Branch": its values come from the plain section.
    write(dir.file("local.ini"), "[Preferred_Settings]\nmax_download_speed=300\ndefaulte_save_path=/games\n"
                                 "RIS_SOUTH=old.example\n[Preferred_Settings_New]\nmax_download_speed=7\n");
    fagex::ConfigFile config;
    EXPECT_EQ(kx2dll::build_config(config, dir.file("tmp.ini"), dir.file("local.ini"), 10), "_New");
    for (const char* section : {"Preferred_Settings", "Preferred_Settings_New"}) {
        EXPECT_EQ(config.getMultiSetting(section, "max_download_speed"), std::vector<std::string>{"300"}) << section;
        EXPECT_EQ(config.getSetting(section, "defaulte_save_path"), "/games") << section;
        EXPECT_EQ(config.getSetting(section, "RIS_SOUTH"), "ris.example") << section;   // the update's
    }
}

TEST(ConfigBuild, UnusableFetchLetsTheLocalFileWinWhole)
{
    TempDir dir;
    write(dir.file("tmp.ini"), "[Preferred_Settings]\nRIS_SOUTH=\nmax_upload_speed=1\n");
    write(dir.file("local.ini"), "[Preferred_Settings]\nRIS_SOUTH=local.example\nmax_upload_speed=77\n"
                                 "[Branch]\n10=_Old\n[Custom]\nk=v\n");
    fagex::ConfigFile config;
    EXPECT_EQ(kx2dll::build_config(config, dir.file("tmp.ini"), dir.file("local.ini"), 12), "");
    EXPECT_EQ(config.getSetting("Preferred_Settings", "RIS_SOUTH"), "local.example");
    EXPECT_EQ(config.getMultiSetting("Preferred_Settings", "max_upload_speed"), std::vector<std::string>{"77"});
    EXPECT_EQ(config.getSetting("Custom", "k"), "v");
    EXPECT_EQ(config.getSetting("Preferred_Settings", "ListenPort"), "9000");
}

TEST(ConfigBuild, UnreadableLocalFileThrows)
{
    TempDir dir;
    fagex::ConfigFile config;
    // A folder where the file should be cannot be read as one.
    ASSERT_EQ(::mkdir(dir.file("local.ini").c_str(), 0755), 0);
    EXPECT_THROW(kx2dll::build_config(config, dir.file("none"), dir.file("local.ini"), 12), fagex::Exception);
}

TEST(ConfigBuild, LogServerSettings)
{
    struct row {
        const char* text;
        std::uint16_t port;
    };
    for (const row& r : {row{"0", 80}, row{"abc", 80}, row{"", 80}, row{"8080", 8080}, row{"65616", 80}})
        EXPECT_EQ(kx2dll::log_server_port_value(r.text), r.port) << r.text;
    EXPECT_EQ(kx2dll::trim_log_url("//log/a/b.php\r\n"), "log/a/b.php");
    EXPECT_EQ(kx2dll::trim_log_url(" / \r\n"), "");
    ScopedEnv log("VR_LOG_SERVER", "10.9.8.7:5000");
    EXPECT_EQ(kx2dll::default_setting("log_server_ip"), "10.9.8.7");
    EXPECT_EQ(kx2dll::default_setting("log_server_port"), "5000");
}

}   // namespace
