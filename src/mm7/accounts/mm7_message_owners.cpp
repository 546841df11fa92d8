// The Message-ID records: "<seconds> <account> <message id>" lines, the id with '%', blanks,
// control bytes and bytes past 0x7e written as %XX.
#include "mm7/accounts/mm7_message_owners.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "core/log.h"
#include "core/string_utils.h"

namespace {

std::string escaped(std::string_view id) {
    std::string out;
    for (unsigned char c : id) {
        if (c <= 0x20 || c >= 0x7f || c == '%') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> unescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        unsigned value = 0;
        const char* digits = text.data() + i + 1;
        if (i + 2 >= text.size() ||
            std::from_chars(digits, digits + 2, value, 16).ptr != digits + 2) {
            return std::nullopt;
        }
        out += static_cast<char>(value);
        i += 2;
    }
    return out;
}

std::string line_of(std::string_view id, std::string_view account, std::int64_t since) {
    return concat({std::to_string(since), " ", account, " ", escaped(id), "\n"});
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool message_owners::load(std::int64_t now, std::int64_t max_age) {
    records_.clear();
    lines_ = 0;
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        return errno == ENOENT || rewrite();
    }
    std::string line;
    std::size_t skipped = 0;
    while (std::getline(in, line)) {
        const auto blank1 = line.find(' ');
        const auto blank2 = blank1 == std::string::npos ? blank1 : line.find(' ', blank1 + 1);
        char* end = nullptr;
        const long long since = std::strtoll(line.c_str(), &end, 10);
        const auto id = blank2 == std::string::npos
                            ? std::nullopt
                            : unescaped(std::string_view(line).substr(blank2 + 1));
        if (in.eof() || blank2 == std::string::npos || end != line.c_str() + blank1 || !id ||
            id->empty() || blank2 == blank1 + 1) {
            ++skipped;  // a torn last line, or not a record at all
            continue;
        }
        if (now - since < max_age) {
            records_[*id] = {line.substr(blank1 + 1, blank2 - blank1 - 1), since};
        }
    }
    if (skipped != 0) {
        log_warning("%s: %zu lines that are no record skipped", log_escape(path_).c_str(), skipped);
    }
    return rewrite();
}

bool message_owners::record(std::string_view message_id, std::string_view account,
                            std::int64_t now) {
    if (records_.size() >= MM7_MESSAGE_OWNERS_MAX) {
        const auto oldest = std::min_element(
            records_.begin(), records_.end(),
            [](const auto& a, const auto& b) { return a.second.since < b.second.since; });
        records_.erase(oldest);
    }
    records_[std::string(message_id)] = {std::string(account), now};
    const int fd =
        open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    const bool written = fd >= 0 && write_all(fd, line_of(message_id, account, now));
    if (fd >= 0) {
        close(fd);
    }
    ++lines_;
    if (!written) {
        log_error("%s: cannot record the account of message %s: %s", log_escape(path_).c_str(),
                  log_escape(message_id).c_str(), std::strerror(errno));
    }
    return written;
}

std::optional<std::string> message_owners::owner(std::string_view message_id) const {
    const auto it = records_.find(std::string(message_id));
    return it == records_.end() ? std::nullopt : std::optional(it->second.account);
}

void message_owners::expire(std::int64_t now, std::int64_t max_age) {
    std::erase_if(records_, [&](const auto& r) { return now - r.second.since >= max_age; });
    if (lines_ >= 2 * records_.size() + 64) {
        rewrite();
    }
}

bool message_owners::rewrite() {
    std::vector<std::pair<std::int64_t, const std::string*>> order;
    for (const auto& [id, e] : records_) {
        order.emplace_back(e.since, &id);
    }
    std::sort(order.begin(), order.end());
    std::string text;
    for (const auto& [since, id] : order) {
        text += line_of(*id, records_.at(*id).account, since);
    }
    const std::string fresh = path_ + ".new";
    const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    const bool ok = fd >= 0 && write_all(fd, text) && fsync(fd) == 0;
    if (fd >= 0) {
        close(fd);
    }
    if (!ok || std::rename(fresh.c_str(), path_.c_str()) != 0) {
        log_error("%s: cannot write the message records anew: %s", log_escape(path_).c_str(),
                  std::strerror(errno));
        unlink(fresh.c_str());
        return false;
    }
    lines_ = records_.size();
    return true;
}

namespace {

std::unique_ptr<message_owners>& owners_of_process() {
    static std::unique_ptr<message_owners> owners;
    return owners;
}

}  // namespace

message_owners* mm7_message_owners() {
    return owners_of_process().get();
}

void mm7_message_owners_install(std::unique_ptr<message_owners> owners) {
    owners_of_process() = std::move(owners);
}
