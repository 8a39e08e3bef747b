// The task server's list: one text line per task, parsed into records.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "service/task_records.h"

namespace kx2dll {

using server_task_map = std::map<std::uint64_t, ServerTaskRecord>;
using server_task_list = std::shared_ptr<const server_task_map>;

// Parses the reply body: per line, game name, game id, task id, version
// step, seed MD5, seed URL and state separated by spaces, then the
// description between "{(" and ")}", then the file list between "(" and
// ")" of "name,md5" items. Lines of other games and malformed lines are
// skipped; `on_game_line` is called once per line of `game_id` when its id
// has been read. Returns the records by task id (a later line replaces an
// earlier one). Reads the body in place: only the records are allocated.
server_task_map parse_task_list(std::string_view body, std::uint32_t game_id,
                                const std::function<void()>& on_game_line = {});

// The version step "A-B" split into its numbers; false when there is no
// "-" after at least one character.
bool split_version_step(const std::string& step, std::int32_t& from, std::int32_t& to);

// The fallback URL: "http://" + fallback host + the path of `url` (its
// case kept); empty when `url` is not "http://host/path".
std::string fallback_task_list_url(const std::string& url, const std::string& fallback_host);

}   // namespace kx2dll
