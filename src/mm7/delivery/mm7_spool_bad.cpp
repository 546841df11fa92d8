// spool/bad/: copies of undeliverable PDUs and entries moved aside, kept for a person to look
// at, within --badsize and --badage.
#include "mm7/delivery/mm7_spool_bad.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "core/log.h"
#include "mm7/delivery/mm7_spool_internal.h"

namespace {

constexpr std::string_view BAD_SUFFIXES[] = {".meta", ".pdu", ".meta.tmp"};

// The copies, by number (an entry moved aside has several files of one number): their bytes and
// the newest modification time of their files.
std::map<std::uint64_t, std::pair<std::uint64_t, std::int64_t>> bad;
std::uint64_t bad_bytes = 0;

}  // namespace

std::uint64_t spool_bad_bytes() {
    return bad_bytes;
}

std::string spool_bad_path(const std::string& dir, std::uint64_t number, std::string_view suffix) {
    return concat({dir, "bad/", spool_number_text(number), suffix});
}

// Takes the files of one number in bad/ into the account.
void spool_bad_note(const std::string& dir, std::uint64_t number) {
    std::uint64_t bytes = 0;
    std::int64_t newest = 0;
    for (const std::string_view suffix : BAD_SUFFIXES) {
        struct stat st {};
        if (lstat(spool_bad_path(dir, number, suffix).c_str(), &st) == 0) {
            bytes += static_cast<std::uint64_t>(st.st_size);
            newest = std::max<std::int64_t>(newest, st.st_mtime);
        }
    }
    auto& [old_bytes, old_time] = bad[number];
    bad_bytes += bytes - old_bytes;
    old_bytes = bytes;
    old_time = newest;
}

// Keeps bad/ within --badsize and --badage: the oldest copies go first (numbers grow with
// arrival), with one line for each bound that removed any.
void spool_bad_trim(const server_config& config, const std::string& dir) {
    const std::int64_t oldest_kept = spool_wall_seconds() - std::int64_t{config.bad_age} * 3600;
    std::size_t removed[2] = {0, 0};
    std::uint64_t removed_bytes[2] = {0, 0};
    while (!bad.empty()) {
        const auto it = bad.begin();
        const bool too_old = config.bad_age != 0 && it->second.second < oldest_kept;
        if (!too_old && (config.bad_size == 0 || bad_bytes <= config.bad_size)) {
            break;
        }
        for (const std::string_view suffix : BAD_SUFFIXES) {
            unlink(spool_bad_path(dir, it->first, suffix).c_str());
        }
        const int bound = too_old ? 0 : 1;
        ++removed[bound];
        removed_bytes[bound] += it->second.first;
        bad_bytes -= it->second.first;
        bad.erase(it);
    }
    if (removed[0] != 0) {
        log_warning("spool: %zu copies (%llu bytes) removed from %sbad/: older than %u hours",
                    removed[0], static_cast<unsigned long long>(removed_bytes[0]), dir.c_str(),
                    config.bad_age);
    }
    if (removed[1] != 0) {
        log_warning(
            "spool: %zu copies (%llu bytes) removed from %sbad/: it held more than %llu bytes",
            removed[1], static_cast<unsigned long long>(removed_bytes[1]), dir.c_str(),
            static_cast<unsigned long long>(config.bad_size));
    }
}

// Reads what bad/ holds (at start-up).
void spool_bad_scan(const server_config& config, const std::string& dir) {
    bad.clear();
    bad_bytes = 0;
    DIR* d = opendir((dir + "bad/").c_str());
    if (d == nullptr) {
        return;
    }
    std::vector<std::uint64_t> numbers;
    while (const dirent* entry = readdir(d)) {
        const std::string_view name = entry->d_name;
        std::uint64_t number = 0;
        if (spool_number_of_name(name, number)) {
            numbers.push_back(number);
        }
    }
    closedir(d);
    for (const std::uint64_t number : numbers) {
        if (!bad.contains(number)) {
            spool_bad_note(dir, number);
        }
    }
    spool_bad_trim(config, dir);
}
