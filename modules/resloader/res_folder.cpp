#include "res_folder.h"

#include <strings.h>

namespace kestrin::resloader {

std::string ResourceDirForLibraryDir(const std::string& libraryDir)
{
    std::string folder = libraryDir;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    size_t slash = folder.rfind('/');
    std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
    if (strcasecmp(name.c_str(), "lib") == 0 || strcasecmp(name.c_str(), "bin") == 0) {
        std::string parent = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
        return parent + "/etc";
    }
    if (folder.size() >= 3 && folder.compare(folder.size() - 3, 3, "etc") == 0)
        return folder;
    if (!folder.empty() && folder.back() == '/')
        return folder + "etc";
    return folder + "/etc";
}

}  // namespace kestrin::resloader
