// File-system helpers shared by the commands.
#pragma once

#include <string>

namespace lumora {

// Python's os.path.join for two parts: an absolute second part replaces the first.
std::string path_join(const std::string& first, const std::string& second);

bool file_exists(const std::string& path);

// Creates the directory and its parents; an existing directory is fine.
void make_dirs(const std::string& path);

}  // namespace lumora
