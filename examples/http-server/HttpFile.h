// A file under the served root, read in pieces as the connection has room for them, so
// no file is ever held whole in memory. A name with a symbolic link in it is resolved
// (realpath) and must still lie under the root's own resolved path, so a link cannot lead
// out of the root; a name without one is opened as it stands. POSIX only.
#pragma once

#include <cstdint>
#include <string>

class HttpFile {
public:
    HttpFile() = default;
    ~HttpFile() { Close(); }
    HttpFile(const HttpFile&) = delete;
    HttpFile& operator=(const HttpFile&) = delete;

    // Opens root/path, or root/path/index.html for a directory; root is a path
    // ResolveRoot gave. 0 when open; 404 when no regular file of that name lies under the
    // root; 403 when it may not be read.
    int Open(const std::string& root, const std::string& path);
    // The next bytes, at most length: 0 with *outRead (0 at the end), or the error number.
    int32_t Read(char* buffer, uint32_t length, uint32_t* outRead);
    void Close();

    bool IsOpen() const { return fDescriptor >= 0; }
    uint64_t Size() const { return fSize; }
    uint64_t Left() const { return fSize - fOffset; }
    // The resolved name: its extension says the content type.
    const std::string& Name() const { return fName; }

private:
    // Opens a plain path whose components hold no link without resolving it: Open's
    // result, or ELOOP when a link was met.
    int OpenPlain(const std::string& root, const std::string& path);
    // Opens it through the fully resolved name.
    int OpenResolved(const std::string& root, const std::string& path);

    int fDescriptor = -1;
    uint64_t fSize = 0;
    uint64_t fOffset = 0;
    std::string fName;
};

// The resolved path of the directory to serve. False with a one-line reason.
bool ResolveRoot(const std::string& directory, std::string* root, std::string* error);
