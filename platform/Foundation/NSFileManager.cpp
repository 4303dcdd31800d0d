#include "Foundation/NSFileManager.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "Foundation/NSArray.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSError.h"
#include "Foundation/NSString.h"

NSString* NSPOSIXErrorDomain() {
    return NSSTR("NSPOSIXErrorDomain");
}

NSFileManager* NSFileManager::defaultManager() {
    static NSFileManager* manager = alloc<NSFileManager>();  // lives for the process
    return manager;
}

NSArray* NSFileManager::contentsOfDirectoryAtPath(NSString* path, NSError** error) {
    auto fail = [&](int err, const std::string& what) -> NSArray* {
        if (error) {
            NSString* text = NSString::stringWithFormat("%s \"%s\": %s", what.c_str(),
                                                        path ? path->UTF8String() : "(null)",
                                                        std::strerror(err));
            NSMutableDictionary* info = NSMutableDictionary::dictionary();
            info->setObject(text, NSLocalizedDescriptionKey());
            if (path) info->setObject(path, NSSTR("NSFilePath"));
            *error = NSError::errorWithDomain(NSPOSIXErrorDomain(), err, info);
        }
        return nullptr;
    };
    if (!path) return fail(EINVAL, "Couldn't list the directory");
    DIR* dir = opendir(path->UTF8String());
    if (!dir) return fail(errno, "Couldn't open the directory");
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    int readErr = errno;
    closedir(dir);
    if (readErr) return fail(readErr, "Couldn't read the directory");
    std::sort(names.begin(), names.end());
    NSMutableArray* out = NSMutableArray::arrayWithCapacity(names.size());
    // Every name, also one that is no UTF-8 (a folder written in another encoding): the string
    // holds the name's bytes as they are, so a path made from it opens the same entry.
    for (auto& n : names) out->addObject(NSString::stringWithStdString(n));
    return out;
}

bool NSFileManager::fileExistsAtPath(NSString* path) {
    return fileExistsAtPath(path, nullptr);
}

bool NSFileManager::fileExistsAtPath(NSString* path, bool* isDirectory) {
    struct stat st;
    if (!path || stat(path->UTF8String(), &st) != 0) return false;
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return true;
}
