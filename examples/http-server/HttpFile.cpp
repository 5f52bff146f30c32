#include "HttpFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

int StatusForError(int error) {
    return error == EACCES ? 403 : 404;
}

// The resolved name of `name` when it lies under root (or is root itself); else empty.
std::string ResolveUnder(const std::string& root, const std::string& name, int* error) {
    char resolved[PATH_MAX];
    if (realpath(name.c_str(), resolved) == nullptr) {
        *error = errno;
        return {};
    }
    const std::string result(resolved);
    const bool inside = result.compare(0, root.size(), root) == 0 &&
                        (result.size() == root.size() || root == "/" || result[root.size()] == '/');
    *error = inside ? 0 : ENOENT;
    return inside ? result : std::string();
}

}  // namespace

bool ResolveRoot(const std::string& directory, std::string* root, std::string* error) {
    char resolved[PATH_MAX];
    struct stat status;
    if (realpath(directory.c_str(), resolved) == nullptr || stat(resolved, &status) != 0) {
        *error = "cannot serve '" + directory + "': " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        *error = "cannot serve '" + directory + "': not a directory";
        return false;
    }
    *root = resolved;
    return true;
}

int HttpFile::Open(const std::string& root, const std::string& path) {
    Close();
    int error = 0;
    std::string name = ResolveUnder(root, path.empty() ? root : root + "/" + path, &error);
    if (name.empty()) return StatusForError(error);
    struct stat status;
    if (stat(name.c_str(), &status) != 0) return StatusForError(errno);
    if (S_ISDIR(status.st_mode)) {
        // No listings: a directory is served by its index page, if it has one.
        name = ResolveUnder(root, name + "/index.html", &error);
        if (name.empty()) return StatusForError(error);
    }
    // Resolved, the name has no link left; O_NOFOLLOW refuses one put in its place since.
    const int descriptor = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0) return StatusForError(errno);
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        return 404;
    }
    fDescriptor = descriptor;
    fSize = uint64_t(status.st_size);
    fOffset = 0;
    fName = std::move(name);
    return 0;
}

int32_t HttpFile::Read(char* buffer, uint32_t length, uint32_t* outRead) {
    *outRead = 0;
    if (fDescriptor < 0) return EBADF;
    if (uint64_t(length) > Left()) length = uint32_t(Left());
    ssize_t got;
    do {
        got = pread(fDescriptor, buffer, length, off_t(fOffset));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno;
    fOffset += uint64_t(got);
    *outRead = uint32_t(got);
    return 0;
}

void HttpFile::Close() {
    if (fDescriptor >= 0) close(fDescriptor);
    fDescriptor = -1;
    fSize = 0;
    fOffset = 0;
    fName.clear();
}
