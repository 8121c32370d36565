#include "velto_ai_sdk/codetool/isolation/removal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velto::isolation {

namespace {

// Directories nested deeper than this are moved up to the top first, so
// that the walk holds few descriptors however deep the script nested them.
constexpr int deepest = 32;

// Empties the directory `fd` (owned here), whose entries lie `depth` below
// the top directory `top`. Returns whether it is empty.
bool empty(int fd, int top, int depth, unsigned& moved) {
    DIR* entries = fdopendir(fd);
    if (entries == nullptr) {
        close(fd);
        return false;
    }
    bool emptied = true;
    // Entries removed while listing may be listed again or skipped: the
    // listing is read again until a pass finds nothing left.
    for (bool again = true; again;) {
        again = false;
        rewinddir(entries);
        while (dirent* entry = readdir(entries)) {
            const char* name = entry->d_name;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
                continue;
            }
            if (unlinkat(dirfd(entries), name, 0) == 0) {
                again = true;
                continue;
            }
            if (errno != EISDIR && errno != EPERM) {
                emptied = false;
                continue;
            }
            // A directory: made ours to open and list, emptied, removed.
            fchmodat(dirfd(entries), name, S_IRWXU, 0);
            if (depth >= deepest) {
                char new_name[64];
                snprintf(new_name, sizeof new_name, ".velto-removed-%u", moved++);
                if (renameat(dirfd(entries), name, top, new_name) == 0) {
                    again = true;
                    continue;
                }
            }
            int child = openat(dirfd(entries), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0 || !empty(child, top, depth + 1, moved) ||
                unlinkat(dirfd(entries), name, AT_REMOVEDIR) != 0) {
                emptied = false;
                continue;
            }
            again = true;
        }
    }
    closedir(entries);
    return emptied;
}

}  // namespace

bool remove_tree(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return true;
    }
    chmod(path, S_IRWXU);
    int top = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (top < 0) {
        return errno == ENOENT;
    }
    int listing = fcntl(top, F_DUPFD_CLOEXEC, 0);
    unsigned moved = 0;
    bool emptied = listing >= 0 && empty(listing, top, 0, moved);
    close(top);
    return emptied && rmdir(path) == 0;
}

}  // namespace velto::isolation
