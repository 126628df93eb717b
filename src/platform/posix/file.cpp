#include "platform/file.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sysinfo.h"

namespace {

FileMove failed(int err, std::string* error) {
    char text[256];
    sys_error_text(err, text, sizeof(text));
    *error = text;
    return FileMove::Failed;
}

} // namespace

FileMove file_move_no_replace(const std::string& from, const std::string& to, std::string* error) {
    // A hard link is refused when `to` exists, whenever it appeared; the old
    // name is removed only once the new one holds the file.
    if (link(from.c_str(), to.c_str()) == 0) {
        if (unlink(from.c_str()) == 0)
            return FileMove::Moved;
        const int err = errno;
        unlink(to.c_str());
        return failed(err, error);
    }
    const int err = errno;
    if (err == EEXIST)
        return FileMove::TargetExists;
    if (err == ENOENT)
        return FileMove::NoSource;
    if (err != EPERM && err != ENOTSUP && err != EOPNOTSUPP && err != ENOSYS && err != EMLINK)
        return failed(err, error);
    // A file system without hard links: look, then rename (a file made at
    // `to` in between would be replaced; nothing better is portable there).
    struct stat st;
    if (lstat(to.c_str(), &st) == 0)
        return FileMove::TargetExists;
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return FileMove::Moved;
    return errno == ENOENT ? FileMove::NoSource : failed(errno, error);
}
