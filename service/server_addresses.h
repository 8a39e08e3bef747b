// Built-in server addresses of the download manager. Each defaults to the
// local machine, so the service runs offline out of the box, and each is
// overridden by an environment variable holding "host[:port]":
//   VR_UPDATE_SERVER         configuration update ("/update_dll/p2sp_config.ini")
//   VR_TASK_SERVER           task list ("/update_task/task_list.txt")
//   VR_MD5TASK_SERVER        one file's task ("/update_task/md5task/<md5>")
//   VR_FALLBACK_TASK_SERVER  task list when the configured URL fails
//   VR_CDN_QUERY_URL         CDN query server, or a whole query prefix
//                            ending in "taskid=" ("http://h:p/cdnquery.php?taskid=")
//   VR_RIS_SOUTH, VR_RIS_NORTH  index servers (default port 3334)
//   VR_LOG_SERVER            connection log server (default port 80)
#pragma once

#include <string>

namespace kx2dll {

std::string update_server();          // host[:port]
std::string task_server();            // host[:port]
std::string md5task_server();         // host[:port]
std::string fallback_task_server();   // host[:port]
// The CDN query prefixes by task id and by MD5.
std::string cdn_query_by_id_url();
std::string cdn_query_by_md5_url();
// Index servers: host and port text.
std::string ris_south_host();
std::string ris_south_port();
std::string ris_north_host();
std::string ris_north_port();
// Log server: IPv4 text and port text.
std::string log_server_ip();
std::string log_server_port();

}   // namespace kx2dll
