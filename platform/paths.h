// Files and folders as the service uses them, and where the Windows folders
// of the original layout (common application data, system directory,
// "c:\qorn", "c:\velmar", the client-log marker, the module folder) live on
// this platform. Each such folder is overridable by an environment variable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr char path_separator = '/';

// Common application-data folder: $VR_APPDATA_DIR, else
// $XDG_DATA_HOME/vr_download, else ~/.local/share/vr_download.
std::string common_appdata_dir();
// The "system directory" fallback: $VR_SYSTEM_DIR, else <appdata>/system.
std::string system_dir();
// "c:\qorn": $VR_QORN_DIR, else <appdata>/qorn.
std::string qorn_dir();
// "c:\velmar": $VR_VELMAR_DIR, else <appdata>/velmar.
std::string velmar_dir();
// "c:\velmarp2sp\dlllogout.log": $VR_CLIENT_LOG_MARKER, else
// <appdata>/velmarp2sp/dlllogout.log.
std::string client_log_marker_path();
// Folder of the loaded library ("beside the module"): $VR_MODULE_DIR, else
// the folder of the binary holding this code (dladdr), else the current one.
std::string module_dir();
// Folder the module's log files go to: module_dir() when it can be written,
// else the folder given to set_log_dir_fallback (when one was given).
std::string log_dir();
// Where log files go while the module's folder cannot be written (an
// installed library's folder usually cannot).
void set_log_dir_fallback(const std::string& folder);
// True when a file can be created in the folder.
bool folder_writable(const std::string& folder);

// Converts a backslash path of the original layout: "\" becomes '/', and a
// drive path is mapped: "c:\qorn..." -> qorn_dir(), "c:\velmar\..." ->
// velmar_dir(), "c:\velmarp2sp\dlllogout.log" -> client_log_marker_path(),
// any other "x:\rest" -> <appdata>/drive_x/rest. Matching is case-blind.
std::string from_windows_path(const std::string& path);

// a + '/' + b, without doubling the separator; either may be empty.
std::string join_path(const std::string& a, const std::string& b);

// Folder part of a path (up to the last separator), "" when none.
std::string parent_folder(const std::string& path);

bool path_exists(const std::string& path);
bool file_exists(const std::string& path);     // a regular file
bool folder_exists(const std::string& path);   // a directory

// Creates the folder with every missing parent; true when it exists after.
bool create_folder(const std::string& path);

// Removes a file; true when it is gone (also when it never existed).
bool delete_file(const std::string& path);

// Last-write time in seconds since 1970, -1 when the path is missing.
std::int64_t last_write_time(const std::string& path);

// Size in bytes, -1 when the path is missing.
std::int64_t file_size(const std::string& path);

struct FolderEntry {
    std::string name;   // without the folder
    bool is_dir = false;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;   // seconds since 1970
};

// Lists a folder without "." and "..", sorted by name. False when the
// folder cannot be read.
bool list_folder(const std::string& path, std::vector<FolderEntry>& out);

// Renames `from` over `to`, replacing it atomically.
bool rename_over(const std::string& from, const std::string& to);

// How write_file_atomically goes about its work.
struct AtomicWriteOptions {
    bool create_folder = true;      // make the parent folder when missing
    std::string* error = nullptr;   // when set, says what failed
    // The rename step, replaceable by tests: returns 0 on success like rename(2).
    int (*rename_fn)(const char* from, const char* to) = nullptr;
};

// Crash-safe save: writes a temporary file beside `path`, flushes it to
// disk and renames it over `path`, keeping the old file's permissions. A
// reader sees the old or the new file, never a torn one; on any failure the
// old file is left as it was. Concurrent saves of one file each land whole,
// the last rename winning: callers that care about order serialise their saves.
bool write_file_atomically(const std::string& path, const void* data, std::size_t size,
                           const AtomicWriteOptions& options = {});
bool write_file_atomically(const std::string& path, const std::string& bytes, const AtomicWriteOptions& options = {});

// Deletes from `folder` the temporary files that saves of files named
// "...<suffix>" left behind when their process was killed mid-save (the
// process is gone). The number deleted.
std::size_t remove_abandoned_saves(const std::string& folder, const std::string& suffix);

// True when files in `folder` keep holes: a file sized without being
// written takes no room on disk (then a part of a file that holds data was
// written at some time). False when it cannot be told.
bool folder_keeps_holes(const std::string& folder);

// Reads a whole file; false when missing, unreadable or over `max_bytes`.
bool read_file(const std::string& path, std::string& out, std::size_t max_bytes = 64u << 20);

}   // namespace platform
