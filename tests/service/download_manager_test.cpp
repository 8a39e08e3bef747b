#include "service/download_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/stat.h>

#include "download_test_env.h"
#include "engine/client_main.h"
#include "engine/p2sp_engine_impl.h"
#include "fagex/fagexException.h"
#include "platform/tick.h"
#include "platform/paths.h"
#include "service/net_service.h"

namespace {

using kx2dll::download_manager;
using kx2dll::LocalTaskRecord;
using service_test::download_test_env;

std::vector<std::uint8_t> payload(std::uint64_t id, const void* rest = nullptr, std::size_t n = 0)
{
    std::vector<std::uint8_t> p(8 + n);
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(id >> (8 * i));
    if (n)
        std::memcpy(p.data() + 8, rest, n);
    return p;
}

void event(download_manager& m, std::uint32_t code, const std::vector<std::uint8_t>& p)
{
    download_manager::OnEngineCallback(code, reinterpret_cast<std::uintptr_t>(p.data()), &m);
}

// A record of another game, so the one-second pass never hands it over.
LocalTaskRecord record(std::uint64_t id, int state = 0)
{
    LocalTaskRecord r;
    r.gameid = 8;
    r.taskid = id;
    r.taskstate = state;
    r.new_version = "5";
    return r;
}

TEST(DownloadManager, BuildsItsFoldersAndSavesOnShutdown)
{
    download_test_env w;
    ASSERT_TRUE(w.nginx_ok());
    const std::string folder = w.launcher_path() + "dll_download/p2sp_game7/";
    {
        download_manager m(w.launcher_path(), 7);
        EXPECT_EQ(m.working_folder(), folder);
        EXPECT_EQ(download_manager::instance(), &m);
        EXPECT_TRUE(platform::file_exists(folder + "p2sp_config.ini"));
        EXPECT_EQ(m.preferred("max_download_task_num"), "5");
        EXPECT_EQ(m.preferred("defaulte_save_path"), w.downloads());
        EXPECT_EQ(m.branch_suffix(), "");
        m.local_tasks().put(record(42));
    }
    EXPECT_EQ(download_manager::instance(), nullptr);
    EXPECT_NE(service_test::read_text(folder + "local_task_list.cfg").find("[42]"), std::string::npos);
}

TEST(DownloadManager, GameTenUsesTheNewBranch)
{
    download_test_env w;
    w.publish_config("");   // nothing usable: defaults and the built-in branch
    download_manager m(w.launcher_path(), 10);
    EXPECT_EQ(m.branch_suffix(), "_New");
    EXPECT_EQ(m.config().getSetting("Preferred_Settings_New", "ListenPort"), "9000");
    std::string version;
    EXPECT_TRUE(m.game_version(10, version));
    EXPECT_EQ(version, "0");
}

TEST(DownloadManager, UnreadableFilesFailTheConstructionCleanly)
{
    download_test_env w;
    const std::string folder = w.launcher_path() + "dll_download/p2sp_game7/";
    ASSERT_TRUE(platform::create_folder(folder + "local_task_list.cfg"));
    EXPECT_THROW(download_manager(w.launcher_path(), 7), fagex::Exception);
    EXPECT_EQ(download_manager::instance(), nullptr);
    ::rmdir((folder + "local_task_list.cfg").c_str());
    // Nothing of the failed one is left running: a new one starts.
    download_manager m(w.launcher_path(), 7);
    EXPECT_NE(m.engine(), nullptr);
}

// An engine that cannot start: the constructor throws the internal error,
// and neither the engine nor its client core is left running with the
// failed manager as its callback's context (the address sanitizer would
// catch a call into it).
TEST(DownloadManager, AnEngineThatCannotStartIsStoppedBeforeTheThrow)
{
    download_test_env w;
    CP2SP_EngineImpl::RefuseClientStartForTests(true);
    try {
        download_manager failed(w.launcher_path(), 7);
        ADD_FAILURE() << "the construction should have failed";
    } catch (const fagex::Exception& e) {
        EXPECT_EQ(e.getNumber(), 7);
    }
    CP2SP_EngineImpl::RefuseClientStartForTests(false);
    EXPECT_EQ(download_manager::instance(), nullptr);
    EXPECT_EQ(CClientMain::GetInstance(), nullptr);
    platform::sleep_ms(1200);   // a second of engine ticks, had anything survived
    download_manager m(w.launcher_path(), 7);
    EXPECT_NE(m.engine(), nullptr);
    EXPECT_NE(CClientMain::GetInstance(), nullptr);
}

TEST(DownloadManager, EngineEventsUpdateTheRecords)
{
    download_test_env w;
    download_manager m(w.launcher_path(), 7);
    auto& list = m.local_tasks();
    list.put(record(1));
    LocalTaskRecord r;

    const std::uint64_t half[2] = {512, 1024};
    event(m, CBE_DOWNLOAD_PROGRESS, payload(1, half, sizeof half));
    ASSERT_TRUE(list.find(1, r));
    EXPECT_DOUBLE_EQ(r.progress, 50.0);
    const std::uint64_t none[2] = {0, 0};
    event(m, CBE_DOWNLOAD_PROGRESS, payload(1, none, sizeof none));
    list.find(1, r);
    EXPECT_DOUBLE_EQ(r.progress, 50.0);   // a total of 0 changes nothing

    const float speeds[2] = {12.5f, 0.0f};
    event(m, CBE_TASK_SPEED, payload(1, speeds, sizeof speeds));
    list.find(1, r);
    EXPECT_DOUBLE_EQ(r.down_speed, 12.5);
    EXPECT_DOUBLE_EQ(r.up_speed, 0.0);

    const char paths[] = "/save/here\0game1";
    event(m, CBE_TASK_SAVE_PATH, payload(1, paths, sizeof paths));
    list.find(1, r);
    EXPECT_EQ(r.save_path, "/save/here");
    EXPECT_EQ(r.srcdir, "game1");

    // A waiting task that stops: downloading at level 0.
    list.update(1, [](LocalTaskRecord& x) { x.priority_level = 1; });
    event(m, CBE_TASK_STOP, payload(1));
    list.find(1, r);
    EXPECT_EQ(r.taskstate, 1);
    EXPECT_EQ(r.priority_level, 0);

    const std::string bbm = "/save/1.bbm";
    const std::string cfg = m.working_folder() + "local_task_list.cfg";
    event(m, CBE_TASK_BBM_SAVE_FINISHED, payload(1, bbm.c_str(), bbm.size() + 1));
    EXPECT_NE(service_test::read_text(cfg).find("bitmap_filename=/save/1.bbm"), std::string::npos);

    list.put(record(2));
    event(m, CBE_TASK_RUN, payload(2));
    list.find(2, r);
    EXPECT_EQ(r.taskstate, 1);

    // Completion records the game's version when the game is known.
    LocalTaskRecord seven = record(3);
    seven.gameid = 7;
    seven.taskstate = 1;
    seven.new_version = "6";
    seven.priority_level = 1;
    list.put(seven);
    event(m, CBE_TASK_COMPLETED, payload(3));
    list.find(3, r);
    EXPECT_DOUBLE_EQ(r.progress, 100.0);   // never "completed at 0 %"
    // (Its state is the one-second pass's from now on: the completed task's
    // files are missing, so the pass soon makes it wait for a new download.)
    EXPECT_EQ(r.priority_level, 0);
    std::string version;
    EXPECT_TRUE(m.game_version(7, version));
    EXPECT_EQ(version, "6");
    EXPECT_EQ(m.config().getSetting("game_last_version", "7"), "6");

    // A withdrawn task that stops goes, with its files.
    LocalTaskRecord withdrawn = record(4);
    withdrawn.remove_pending = true;
    withdrawn.bitmap_filename = w.env().root() + "/4.bbm";
    std::ofstream(withdrawn.bitmap_filename) << "x";
    list.put(withdrawn);
    event(m, CBE_TASK_STOP, payload(4));
    EXPECT_FALSE(list.find(4, r));
    EXPECT_FALSE(platform::path_exists(withdrawn.bitmap_filename));

    // Unknown ids, code 17 and a null user change nothing.
    event(m, CBE_TASK_STOP, payload(77));
    const float totals[2] = {1.0f, 2.0f};
    download_manager::OnEngineCallback(CBE_GLOBAL_SPEED, reinterpret_cast<std::uintptr_t>(totals), &m);
    download_manager::OnEngineCallback(CBE_TASK_RUN, reinterpret_cast<std::uintptr_t>(payload(2).data()), nullptr);
    EXPECT_EQ(list.size(), 3u);
}

TEST(DownloadManager, TaskInformationTexts)
{
    download_test_env w;
    download_manager m(w.launcher_path(), 7);
    auto& list = m.local_tasks();
    LocalTaskRecord a = record(11);
    a.gameid = 7;
    a.now_version = "1";
    a.new_version = "2";
    a.file_list = {{"a.pak", "aaaa"}, {"data\\b.pak", "bbbb"}};
    LocalTaskRecord b = a;
    b.taskid = 12;
    b.now_version = "2";
    b.new_version = "3";
    b.file_list = {{"c.pak", "cccc"}};
    list.put(a);
    list.put(b);
    std::string key;
    ASSERT_TRUE(m.start_download_packet(7, "1", "3", key, 0));
    EXPECT_EQ(key, kx2dll::string_md5("1112"));
    // The values the engine would have reported; moved to another game so
    // the one-second pass leaves the records alone.
    a.gameid = b.gameid = 8;
    a.progress = 100;
    a.taskstate = 2;
    a.down_speed = 4000;
    a.up_speed = 1.5;
    a.save_path = "/q/";
    a.srcdir = "game";
    b.progress = 50;
    b.taskstate = 0;
    b.down_speed = 2000;
    b.save_path = "/q";
    b.srcdir = "g2";
    list.put(a);
    list.put(b);
    kx2dll::value_map info;
    ASSERT_TRUE(m.get_task_info(7, key, info));
    EXPECT_EQ(info["DOWN_PROCESS"], "0.750");
    EXPECT_EQ(info["DOWN_SPEED"], "6000.000");   // what flows, past "max_download_speed"
    EXPECT_EQ(info["UP_SPEED"], "1.500");
    EXPECT_EQ(info["TASK_STATE"], "1");
    EXPECT_EQ(info["SAVE_PATCH"], "/q/game/a.pak,/q/game/data/b.pak,/q/g2/c.pak,");
    b.taskstate = 2;
    list.put(b);
    ASSERT_TRUE(m.get_task_info(7, key, info));
    EXPECT_EQ(info["TASK_STATE"], "2");
    EXPECT_FALSE(m.get_task_info(7, "never started", info));
    EXPECT_FALSE(m.get_task_info(8, key, info));   // another game's name
}

TEST(DownloadManager, Settings)
{
    download_test_env w;
    download_manager m(w.launcher_path(), 7);
    std::string value;
    EXPECT_TRUE(m.set_setting("MAX_DOWN_SPEED", "300"));
    EXPECT_TRUE(m.set_setting("MAX_UP_SPEED", "20"));
    ASSERT_TRUE(m.get_setting("MAX_DOWN_SPEED", value));
    EXPECT_EQ(value, "300.000");
    ASSERT_TRUE(m.get_setting("MAX_UP_SPEED", value));
    EXPECT_EQ(value, "20.000");
    EXPECT_EQ(m.preferred("max_upload_speed"), "20");   // the text as given
    // A value out of range or not a number is refused and changes nothing.
    EXPECT_FALSE(m.set_setting("MAX_UP_SPEED", "2"));
    ASSERT_TRUE(m.get_setting("MAX_UP_SPEED", value));
    EXPECT_EQ(value, "20.000");
    struct row {
        const char* text;
        bool taken;
        const char* engine;
    };
    for (const row& r : {row{"0", false, "5"}, row{"abc", false, "5"}, row{"60", false, "5"}, row{" 12", true, "12"},
                         row{"12x", false, "12"}}) {
        EXPECT_EQ(m.set_setting("MAX_DOWNLOAD_NUM", r.text), r.taken) << r.text;
        ASSERT_TRUE(m.get_setting("MAX_DOWNLOAD_NUM", value));
        EXPECT_EQ(value, r.engine) << r.text;
    }
    EXPECT_TRUE(m.set_setting("FILE_SAVE_PATCH", "dl"));
    ASSERT_TRUE(m.get_setting("FILE_SAVE_PATCH", value));
    EXPECT_EQ(value, w.launcher_path() + "dl");
    EXPECT_TRUE(platform::folder_exists(value));
    EXPECT_EQ(m.preferred("defaulte_save_path"), value);
    // Drive paths land in the folders that stand for the drives here.
    m.set_setting("FILE_SAVE_PATCH", "C:/QORN/sub");
    ASSERT_TRUE(m.get_setting("FILE_SAVE_PATCH", value));
    EXPECT_EQ(value, w.downloads() + "/sub");
    m.set_setting("FILE_SAVE_PATCH", "D:/Games/dl");
    ASSERT_TRUE(m.get_setting("FILE_SAVE_PATCH", value));
    EXPECT_EQ(value, w.env().appdata() + "/drive_d/Games/dl");
    EXPECT_FALSE(m.get_setting("NO_SUCH", value));
}

}   // namespace

namespace {

TEST(DownloadManager, EngineSetUpClampsTheConfiguredValues)
{
    download_test_env w;
    w.publish_config("[Preferred_Settings]\nRIS_SOUTH=127.0.0.1\nRIS_SOUTH_PORT=1\nmax_download_task_num=0\n"
                     "max_download_speed=3\nmax_upload_speed=200000\ndefaulte_save_path= \n");
    download_manager m(w.launcher_path(), 7);
    EXPECT_EQ(m.preferred("max_download_task_num"), "8");
    EXPECT_EQ(m.preferred("max_download_speed"), "10");
    EXPECT_EQ(m.preferred("max_upload_speed"), "102400");
    EXPECT_EQ(m.preferred("defaulte_save_path"), w.downloads());   // empty: "c:\\qorn"
    std::string value;
    ASSERT_TRUE(m.get_setting("MAX_DOWNLOAD_NUM", value));
    EXPECT_EQ(value, "8");
    ASSERT_TRUE(m.get_setting("MAX_UP_SPEED", value));
    EXPECT_EQ(value, "102400.000");

    struct row {
        const char* setting;
        std::uint32_t game;
        std::uint16_t port;
    };
    for (const row& r : {row{"9000", 12, 9012}, row{"abc", 12, 9690}, row{"65535", 2, 1}, row{"", 0, 9678}})
        EXPECT_EQ(kx2dll::engine_listen_port(r.setting, r.game), r.port) << r.setting;
}

}   // namespace

namespace {

std::vector<std::uint8_t> text_payload(const std::string& text)
{
    return std::vector<std::uint8_t>(text.c_str(), text.c_str() + text.size() + 1);
}

TEST(DownloadManager, EngineEventsAreLoggedAndStopsFollowTheRecord)
{
    download_test_env w;
    service_test::logging_service service(download_test_env::game_id);
    download_manager m(w.launcher_path(), 7);
    auto& list = m.local_tasks();
    list.put(record(1));
    LocalTaskRecord again = record(2);
    again.redownload = true;
    again.isactive = true;
    list.put(again);
    LocalTaskRecord withdrawn = record(3);
    withdrawn.remove_pending = true;
    list.put(withdrawn);

    const std::uint64_t half[2] = {512, 1024};
    event(m, CBE_DOWNLOAD_PROGRESS, payload(1, half, sizeof half));
    const float speeds[2] = {12.5f, 0.0f};
    event(m, CBE_TASK_SPEED, payload(1, speeds, sizeof speeds));
    const char paths[] = "/save/here\0game1";
    event(m, CBE_TASK_SAVE_PATH, payload(1, paths, sizeof paths));
    event(m, CBE_TASK_RUN, payload(1));
    event(m, CBE_TEXT_OUTPUT, text_payload("the engine speaks"));
    event(m, CBE_ERROR_OUTPUT, text_payload("disk full"));
    download_manager::OnEngineCallback(CBE_RIS_CONNECT_RESULT, 0, &m);
    download_manager::OnEngineCallback(CBE_RIS_CONNECT_RESULT, static_cast<std::uintptr_t>(-1), &m);
    download_manager::OnEngineCallback(CBE_ENGINE_INIT_RESULT, static_cast<std::uintptr_t>(-1), &m);
    const float totals[2] = {1.0f, 2.0f};
    download_manager::OnEngineCallback(CBE_GLOBAL_SPEED, reinterpret_cast<std::uintptr_t>(totals), &m);
    event(m, CBE_TASK_STOP, payload(77));
    event(m, CBE_TASK_STOP, payload(2));          // to be downloaded again: only inactive
    event(m, CBE_TASK_STOP_FAILED, payload(3));   // withdrawn: goes all the same

    const std::string log = w.service_log();
    for (const char* line :
         {"CBE_DOWNLOAD_PROGRESS ID[1] down_size[512],total_size[1024] progress[50]",
          "CBE_TASK_SPEED id[1] down[12.5],up[0]", "CBE_TASK_SAVE_PATH ID[1], /save/here,game1",
          "CBE_TASK_RUN, ID[1] start download ...", "the engine speaks", "CBE_ERROR_OUTPUT : disk full",
          "connect ris server success", "connect ris server fail error code -1", "init enginer error!",
          "engine callback unkown[17]", "WARING!!! CBE_TASK_STOP, ID[77] not find!",
          "CBE_TASK_STOP, ID[2] stop download ...", "CBE_TASK_STOP_FAILED ID[3]"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    LocalTaskRecord r;
    ASSERT_TRUE(list.find(2, r));
    EXPECT_FALSE(r.isactive);
    EXPECT_EQ(r.taskstate, 0);
    EXPECT_EQ(log.find("CBE_TASK_STOP ID[2] stop download, priority_level"), std::string::npos);
    EXPECT_FALSE(list.find(3, r));

    // The same bitmap path again leaves the file alone; a new one rewrites it.
    // Every timer fires first at once, the save timer before the first
    // one-second pass: once that pass has logged, no timer saves for minutes.
    const std::string cfg = m.working_folder() + "local_task_list.cfg";
    ASSERT_TRUE(test_support::wait_until(
        [&] { return w.service_log().find(" task id = 1; state = ") != std::string::npos; }, 10000));
    const std::string bbm = "/save/1.bbm";
    event(m, CBE_TASK_BBM_SAVE_FINISHED, payload(1, bbm.c_str(), bbm.size() + 1));
    ASSERT_TRUE(platform::delete_file(cfg));
    event(m, CBE_TASK_BBM_SAVE_FINISHED, payload(1, bbm.c_str(), bbm.size() + 1));
    EXPECT_FALSE(platform::path_exists(cfg));
    const std::string moved = "/save/2.bbm";
    event(m, CBE_TASK_BBM_SAVE_FINISHED, payload(1, moved.c_str(), moved.size() + 1));
    EXPECT_NE(service_test::read_text(cfg).find("bitmap_filename=/save/2.bbm"), std::string::npos);
}

TEST(DownloadManager, StartAndStopByFileMd5)
{
    download_test_env w;
    download_manager m(w.launcher_path(), 7);
    auto& list = m.local_tasks();
    const std::string md5 = "0123456789ABCDEF0123456789ABCDEF";
    LocalTaskRecord r = record(21, -1);
    r.file_list = {{"data/a.pak", md5}};
    r.save_path = w.env().root() + "/nowhere";
    r.progress = 40;
    list.put(r);

    // Found in the local list (case-blind), not finished, its file not made
    // yet: it waits at the launcher's level and resumes where it was (files
    // are made as their data comes).
    const std::string name = "0123456789abcdef0123456789abcdef";
    ASSERT_TRUE(m.start_download_file(8, name, 1));
    ASSERT_TRUE(list.find(21, r));
    EXPECT_EQ(r.taskstate, 0);
    EXPECT_EQ(r.priority_level, 1);
    EXPECT_FALSE(r.redownload);
    EXPECT_EQ(r.progress, 40);
    // Finished, its file gone: it waits to be fetched afresh.
    r.taskstate = 2;
    list.put(r);
    ASSERT_TRUE(m.start_download_file(8, name, 1));
    ASSERT_TRUE(list.find(21, r));
    EXPECT_EQ(r.taskstate, 0);
    EXPECT_TRUE(r.redownload);
    EXPECT_EQ(r.progress, 0);
    kx2dll::FileTaskRecord entry;
    ASSERT_TRUE(m.find_file_task(8, name, entry));
    EXPECT_EQ(entry.taskids, std::vector<std::uint64_t>{21});
    EXPECT_FALSE(m.find_file_task(7, name, entry));

    // Started again by the same name: its tasks are only reactivated.
    r.taskstate = 1;
    list.put(r);
    ASSERT_TRUE(m.start_download_file(8, name, 0));
    ASSERT_TRUE(list.find(21, r));
    EXPECT_EQ(r.taskstate, 0);
    EXPECT_EQ(r.priority_level, 0);
    // Finished, its file in place: it stays finished (it seeds) and only
    // takes the launcher's level.
    ASSERT_TRUE(kx2dll::create_directory_tree(r.save_path + "/data"));
    ASSERT_TRUE(kx2dll::write_file(r.save_path + "/data/a.pak", "a", 1));
    r.taskstate = 2;
    r.redownload = false;
    list.put(r);
    ASSERT_TRUE(m.start_download_file(8, name, 1));
    ASSERT_TRUE(list.find(21, r));
    EXPECT_EQ(r.taskstate, 2);
    EXPECT_EQ(r.priority_level, 1);
    EXPECT_FALSE(r.redownload);

    list.update(21, [](LocalTaskRecord& x) { x.priority_level = 1; });
    EXPECT_TRUE(m.stop_download_file(8, name));
    ASSERT_TRUE(list.find(21, r));
    EXPECT_EQ(r.priority_level, 0);
    EXPECT_FALSE(m.stop_download_file(8, "never started"));
    // Neither local nor listed by any task server.
    EXPECT_FALSE(m.start_download_file(8, std::string(32, 'e'), 1));

    EXPECT_EQ(kx2dll::packet_key({31, 7, 12}), kx2dll::string_md5("71231"));
}

TEST(DownloadManager, FileHelpersAndFolders)
{
    download_test_env w;
    const std::string root = w.env().root();
    EXPECT_TRUE(kx2dll::write_file(root + "/w.bin", "abc", 3));
    EXPECT_EQ(service_test::read_text(root + "/w.bin"), "abc");
    EXPECT_FALSE(kx2dll::write_file(root + "/no/such/folder/w.bin", "abc", 3));
    if (platform::path_exists("/dev/full")) {
        EXPECT_FALSE(kx2dll::write_file("/dev/full", "abc", 3)) << "a disk that takes nothing";
    }

    ASSERT_TRUE(platform::create_folder(root + "/a"));
    EXPECT_TRUE(kx2dll::create_directory_tree(root + "/a/b/c"));
    EXPECT_TRUE(platform::folder_exists(root + "/a/b/c"));
    EXPECT_TRUE(kx2dll::create_directory_tree(root + "/a/b/c"));

    EXPECT_EQ(kx2dll::string_md5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(kx2dll::text3(12.5), "12.500");

    // No working folder can be made below the launcher's: its own is used.
    const std::string launcher = root + "/blocked/";
    ASSERT_TRUE(platform::create_folder(launcher));
    std::ofstream(launcher + "dll_download") << "a file in the way";
    download_manager m(launcher, 7);
    EXPECT_EQ(m.working_folder(), launcher);
    EXPECT_TRUE(platform::file_exists(launcher + "p2sp_config.ini"));
}

TEST(DownloadManager, ClientLogMarkerSwitchesTheServiceLogOn)
{
    download_test_env w;
    w.publish_config("[Preferred_Settings]\nRIS_SOUTH=127.0.0.1\nwrite_log=false\n");
    service_test::logging_service service(download_test_env::game_id);
    {
        download_manager m(w.launcher_path(), 7);
        EXPECT_FALSE(NetService::Instance()->Logging());
    }
    std::ofstream(w.env().root() + "/no-marker") << "";
    {
        download_manager m(w.launcher_path(), 7);
        EXPECT_TRUE(NetService::Instance()->Logging());
    }
}

}   // namespace

namespace {

TEST(DownloadManager, EngineSetUpClampsEachConfiguredValue)
{
    download_test_env w;
    struct row {
        const char* key;
        const char* text;
        const char* written;   // back into the configuration
        const char* name;      // the launcher's setting
        const char* engine;    // as the engine holds it
    };
    const row rows[] = {
        {"max_download_task_num", "60", "50", "MAX_DOWNLOAD_NUM", "50"},
        {"max_download_task_num", " 12 ", "12", "MAX_DOWNLOAD_NUM", "12"},
        {"max_download_speed", "200000", "102400", "MAX_DOWN_SPEED", "102400.000"},
        {"max_download_speed", "10.5", "10.5", "MAX_DOWN_SPEED", "10.500"},
        {"max_upload_speed", "3", "5", "MAX_UP_SPEED", "5.000"},
    };
    for (const row& r : rows) {
        // The user's earlier value would win over the update's.
        platform::delete_file(w.launcher_path() + "dll_download/p2sp_game7/p2sp_config.ini");
        w.publish_config(std::string("[Preferred_Settings]\nRIS_SOUTH=127.0.0.1\nRIS_SOUTH_PORT=1\n") + r.key + "=" +
                         r.text + "\n");
        download_manager m(w.launcher_path(), 7);
        EXPECT_EQ(m.preferred(r.key), r.written) << r.key << "=" << r.text;
        std::string value;
        ASSERT_TRUE(m.get_setting(r.name, value));
        EXPECT_EQ(value, r.engine) << r.key << "=" << r.text;
    }
}

}   // namespace
