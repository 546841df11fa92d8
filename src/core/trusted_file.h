// Files the daemon takes secrets or settings from are trusted only when nobody but root or the
// daemon's own user can have written (or, for secrets, read) them.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>

// Mode bits a file holding a secret must not have: 0600 or stricter.
inline constexpr mode_t SECRET_FILE_FORBIDDEN_MODE = 0177;
// Mode bits a settings file, or its directory, must not have: writable by group or others.
inline constexpr mode_t SHARED_FILE_FORBIDDEN_MODE = S_IWGRP | S_IWOTH;

// What the status of an opened file says about it.
struct file_trust {
    bool regular = false;  // a regular file
    bool owner = false;    // owned by root or the daemon's effective user
    bool mode = false;     // none of the forbidden mode bits set
};
file_trust judge_file(const struct stat& st, mode_t forbidden);

// The contents of a file that holds a secret, read only once it proved trusted: opened without
// following a link or blocking, a regular file of mode 0600 or stricter, owned by root or the
// daemon's effective user, at most max_bytes long.
struct secret_file {
    std::optional<std::string> text;  // absent when the file is not such a file
    // Why not, to follow the file's name in a line: "is not a regular file", "is too large",
    // "cannot be opened. Errno: 2 (No such file or directory)", ...
    std::string problem;
};
secret_file read_secret_file(const std::string& path, std::size_t max_bytes);
