// A private temporary folder per test, removed with its files afterwards.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fagex_test {

class TempFolder {
public:
    TempFolder()
    {
        char pattern[] = "/tmp/fagex_test_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        mPath = made ? made : "";
    }
    ~TempFolder() { removeTree(mPath); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

    // Names of the entries in the folder, sorted and joined by blanks.
    std::string listing() const
    {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(mPath.c_str())) {
            while (dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..")
                    names.push_back(name);
            }
            ::closedir(dir);
        }
        std::sort(names.begin(), names.end());
        std::string out;
        for (const auto& n : names)
            out += (out.empty() ? "" : " ") + n;
        return out;
    }

    static void removeTree(const std::string& path)
    {
        if (path.empty())
            return;
        DIR* dir = ::opendir(path.c_str());
        if (dir) {
            while (dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..")
                    continue;
                const std::string child = path + "/" + name;
                struct stat st {};
                if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    removeTree(child);
                else
                    ::unlink(child.c_str());
            }
            ::closedir(dir);
        }
        ::rmdir(path.c_str());
    }

private:
    std::string mPath;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

}   // namespace fagex_test
