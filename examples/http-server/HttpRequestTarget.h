// Turns a request target into a path relative to the served root, or refuses it. The
// target is percent-decoded first and only then split at '/', so an encoded "..", "/" or
// NUL is seen for what it is; any ".." segment is refused rather than resolved, so a path
// never climbs out of the root by its own text (symbolic links are the file source's to
// check).
#pragma once

#include <string>
#include <string_view>

// 0 with *path set ("" for the root itself, else segments joined by '/', no leading
// '/', no "." or empty segment), or 400 for a target that is malformed or climbs.
int RequestTargetToPath(std::string_view target, std::string* path);
