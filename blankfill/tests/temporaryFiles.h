// The replacement's temporary files ("replFile" and six characters) left in
// a folder, for the tests that make sure none is ever left behind.
#pragma once

#include <dirent.h>

#include <cstring>
#include <string>
#include <vector>

inline std::vector<std::string> temporaryFiles(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *entry = readdir(d)) {
            if (std::strncmp(entry->d_name, "replFile", 8) == 0) names.push_back(entry->d_name);
        }
        closedir(d);
    }
    return names;
}
