// The spool's files: records and synced writes.
#include "mm7/delivery/mm7_spool_record.h"
#include "mm7/delivery/mm7_spool_internal.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::string_view META_MAGIC = "mm7-spool 1";
// Bounds of the numbers in a record: anything beyond them was not written by this program.
constexpr std::int64_t MAX_RECEIVED = std::int64_t{1} << 40;  // seconds, some 30,000 years
constexpr std::uint64_t MAX_PDU_SIZE = std::uint64_t{1} << 40;

// Texts in the record are kept to one line: control characters and "%" become %XX.
std::string escape(std::string_view text) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '%') {
            out += '%';
            out += HEX[u >> 4];
            out += HEX[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '%' && i + 2 < text.size() &&
            std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr ==
                text.data() + i + 3) {
            out += static_cast<char>(value);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::string meta_text(const spool_entry& e) {
    return concat({META_MAGIC,
                   "\nreceived ",
                   std::to_string(e.received),
                   "\nport ",
                   std::to_string(e.port),
                   "\nimsi ",
                   escape(e.imsi),
                   "\nrecipient ",
                   escape(e.recipient),
                   "\nsender ",
                   escape(e.sender),
                   "\nto ",
                   escape(e.shown_to),
                   "\nfrom ",
                   escape(e.shown_from),
                   "\ntransaction ",
                   escape(e.transaction),
                   "\nsize ",
                   std::to_string(e.size),
                   e.account.empty() ? "" : "\naccount ",
                   escape(e.account),
                   "\nend\n"});
}

// The record read back; nothing when it is not whole.
std::optional<spool_entry> parse_meta(std::string_view text) {
    spool_entry e;
    bool first = true;
    bool ended = false;
    bool has_size = false;
    bool has_received = false;
    while (!text.empty() && !ended) {
        const std::size_t eol = text.find('\n');
        if (eol == std::string_view::npos) {
            return std::nullopt;  // cut off inside a line
        }
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol + 1);
        if (first) {
            if (line != META_MAGIC) {
                return std::nullopt;
            }
            first = false;
            continue;
        }
        const std::size_t space = line.find(' ');
        const std::string_view key = line.substr(0, space);
        const std::string_view value =
            space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        bool ok = true;
        if (key == "end") {
            ended = true;
        } else if (key == "received") {
            ok = has_received = spool_parse_number(value, e.received) && e.received >= 0 &&
                                e.received <= MAX_RECEIVED;
        } else if (key == "port") {
            ok = spool_parse_number(value, e.port);
        } else if (key == "size") {
            ok = has_size =
                spool_parse_number(value, e.size) && e.size > 0 && e.size <= MAX_PDU_SIZE;
        } else if (key == "imsi") {
            e.imsi = unescape(value);
        } else if (key == "recipient") {
            e.recipient = unescape(value);
        } else if (key == "sender") {
            e.sender = unescape(value);
        } else if (key == "to") {
            e.shown_to = unescape(value);
        } else if (key == "from") {
            e.shown_from = unescape(value);
        } else if (key == "transaction") {
            e.transaction = unescape(value);
        } else if (key == "account") {
            e.account = unescape(value);  // records of older versions have none
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    if (!ended || !has_size || !has_received || e.transaction.empty()) {
        return std::nullopt;
    }
    return e;
}

namespace {

bool write_all(int fd, byte_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// Closes fd keeping the errno of a failure before it.
bool finish_file(int fd, bool ok) {
    const int err = errno;
    if (ok && fsync(fd) != 0) {
        ok = false;
    }
    const int sync_err = errno;
    close(fd);
    errno = ok ? 0 : (sync_err != 0 ? sync_err : err);
    return ok;
}

}  // namespace

bool write_file_synced(const std::string& path, byte_view data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) {
        return false;
    }
    return finish_file(fd, write_all(fd, data));
}

// size octets of the open PDU file in, from its start, into a new synced file of the spool.
// Always a copy of its own: the kernel module may write a new message under the same name.
bool copy_pdu(int in, const std::string& to, std::uint64_t size) {
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (out < 0) {
        return false;
    }
    off_t from = 0;
    bool in_kernel = true;  // copy_file_range, or sendfile where it cannot be used
    bool ok = true;
    while (ok && static_cast<std::uint64_t>(from) < size) {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(size - static_cast<std::uint64_t>(from), 1 << 20));
        const ssize_t n = in_kernel ? copy_file_range(in, &from, out, nullptr, want, 0)
                                    : sendfile(out, in, &from, want);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && in_kernel && from == 0 &&
            (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            in_kernel = false;
            continue;
        }
        if (n == 0) {
            errno = ENODATA;  // the file is shorter than when it was checked
        }
        ok = n > 0;
    }
    return finish_file(out, ok);
}

bool sync_dir(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    return finish_file(fd, true);
}

std::string read_small_file(const std::string& path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return out;
    }
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || out.size() > 65536) {
            break;
        }
        out.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return out;
}
