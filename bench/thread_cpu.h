// The CPU time of the threads of this process, found by their names: how
// busy one thread (the session's I/O thread, say) was over a transfer.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace bench {

// User + system seconds of the threads called `name` (summed) of this
// process, or of process `pid` when given; -1 when there is none.
inline double ThreadCpuSeconds(const std::string& name, long pid = 0)
{
    const std::string tasks = pid > 0 ? "/proc/" + std::to_string(pid) + "/task" : std::string("/proc/self/task");
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir)
        return -1;
    double total = -1;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = tasks + "/" + e->d_name;
        std::string comm;
        std::getline(std::ifstream(base + "/comm"), comm);
        if (comm != name.substr(0, 15))
            continue;
        std::string stat;
        std::getline(std::ifstream(base + "/stat"), stat);
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        // Fields after the name: state is the 3rd, utime the 14th, stime the 15th.
        std::istringstream fields(stat.substr(close + 2));
        std::string skip;
        for (int i = 3; i < 14; ++i)
            fields >> skip;
        double utime = 0, stime = 0;
        fields >> utime >> stime;
        total = (total < 0 ? 0 : total) + (utime + stime) / tick;
    }
    ::closedir(dir);
    return total;
}

}   // namespace bench
