#include "core/trusted_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

file_trust judge_file(const struct stat& st, mode_t forbidden) {
    return {S_ISREG(st.st_mode), st.st_uid == 0 || st.st_uid == geteuid(),
            (st.st_mode & forbidden) == 0};
}

secret_file read_secret_file(const std::string& path, std::size_t max_bytes) {
    secret_file out;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        out.problem =
            "cannot be opened. Errno: " + std::to_string(errno) + " (" + std::strerror(errno) + ")";
        return out;
    }
    struct stat st {};
    const bool known = fstat(fd, &st) == 0;
    const file_trust trust = judge_file(st, SECRET_FILE_FORBIDDEN_MODE);
    std::string text;
    if (!known || !trust.regular) {
        out.problem = "is not a regular file";
    } else if (!trust.mode) {
        out.problem = "is not of mode 0600 or stricter (others than its owner may use it)";
    } else if (!trust.owner) {
        out.problem = "is not owned by root or the daemon's user";
    } else if (static_cast<std::size_t>(st.st_size) > max_bytes) {
        out.problem = "is too large";
    } else {
        char chunk[4097];
        ssize_t n = 0;
        while ((n = read(fd, chunk, sizeof chunk)) > 0 && text.size() <= max_bytes) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        if (n < 0) {
            out.problem = "cannot be read";
        }
    }
    close(fd);
    if (out.problem.empty()) {
        out.text = std::move(text);
    }
    return out;
}
