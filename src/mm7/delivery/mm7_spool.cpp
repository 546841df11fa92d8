// The delivery spool: durable entries, the order and pace of their tries, and the bounds.
#include "mm7/delivery/mm7_spool.h"
#include "mm7/delivery/mm7_spool_bad.h"
#include "mm7/delivery/mm7_spool_internal.h"
#include "mm7/delivery/mm7_spool_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <set>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/mainloop.h"
#include "core/metrics.h"
#include "mm7/delivery/mm7_route.h"
#include "wsp/wsp.h"

namespace {

constexpr std::int64_t SUMMARY_SECONDS = 60;

// The deliveries of one VASP account, paced on their own: an endpoint that is down or slow never
// holds up another account's messages.
struct vasp_queue {
    std::size_t in_flight = 0;
    bool unreachable = false;  // the last try could not reach the VASP
    std::uint32_t probe_failures = 0;
    std::int64_t probe_at = 0;       // ticks
    std::int64_t failing_since = 0;  // wall seconds of the first failure since the last success
};

struct spool_state {
    server_config* config = nullptr;
    std::string dir;  // "<workdir>spool/"
    bool usable = false;
    bool stopping = false;
    std::map<std::uint64_t, spool_entry> entries;  // by arrival number
    std::uint64_t last_number = 0;
    std::size_t in_flight = 0;   // of every account
    std::size_t held_bytes = 0;  // PDUs held in memory because the spool cannot be written
    std::map<std::string, vasp_queue, std::less<>> queues;  // by account name
    // The accounts entries are routed with; a reload installs a new set, and each entry that is
    // not under way is checked against it once (its generation).
    std::shared_ptr<const vasp_accounts> accounts;
    std::uint64_t generation = 0;
    std::int64_t next_summary = 0;
    int kick_fd = -1;
    bool kicked = false;
    std::minstd_rand random{std::random_device{}()};
};
spool_state spool;

std::string path_of(std::uint64_t number, std::string_view suffix) {
    return concat({spool.dir, spool_number_text(number), suffix});
}

// Arrival numbers grow across restarts: microseconds since the epoch, or one more than the
// last when the clock gives no later value.
std::uint64_t next_number() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto micro = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                       static_cast<std::uint64_t>(now.tv_nsec / 1000);
    spool.last_number = std::max(spool.last_number + 1, micro);
    return spool.last_number;
}

void remove_files(std::uint64_t number) {
    unlink(path_of(number, ".pdu").c_str());
    unlink(path_of(number, ".meta").c_str());
}

void erase_entry(std::map<std::uint64_t, spool_entry>::iterator it) {
    if (it->second.held) {
        spool.held_bytes -= it->second.held->size();
    }
    spool.entries.erase(it);
}

// An entry that cannot be delivered as it is goes to spool/bad/ for a person to look at.
void move_aside(std::uint64_t number, std::string_view why) {
    for (const std::string_view suffix : {".meta", ".pdu", ".meta.tmp"}) {
        const std::string from = path_of(number, suffix);
        const std::string to = spool_bad_path(spool.dir, number, suffix);
        if (rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
            log_error("spool: cannot move %s aside: %s", from.c_str(), std::strerror(errno));
        }
    }
    metrics_add("mm7_spool_bad_total");
    log_warning("spool: entry %s moved to %sbad/: %.*s", spool_number_text(number).c_str(),
                spool.dir.c_str(), static_cast<int>(why.size()), why.data());
    spool_bad_note(spool.dir, number);
    spool_bad_trim(*spool.config, spool.dir);
    if (auto it = spool.entries.find(number); it != spool.entries.end()) {
        erase_entry(it);
    }
}

void drop(std::uint64_t number, std::string_view why) {
    auto it = spool.entries.find(number);
    if (it == spool.entries.end()) {
        return;
    }
    const spool_entry& e = it->second;
    log_warning("spool: dropped transaction %s from %s to %s (entry %s, %u tries): %.*s",
                log_escape(e.transaction).c_str(), log_escape(e.shown_from).c_str(),
                log_escape(e.shown_to).c_str(), spool_number_text(number).c_str(), e.tries,
                static_cast<int>(why.size()), why.data());
    remove_files(number);
    erase_entry(it);
}

// Drops the entries given (oldest first) on one summary line when there are several.
void drop_all(const std::vector<std::uint64_t>& numbers, std::string_view why) {
    if (numbers.size() == 1) {
        drop(numbers.front(), why);
        return;
    }
    if (numbers.empty()) {
        return;
    }
    const std::string first = spool.entries.at(numbers.front()).transaction;
    const std::string last = spool.entries.at(numbers.back()).transaction;
    for (const std::uint64_t number : numbers) {
        remove_files(number);
        erase_entry(spool.entries.find(number));
    }
    log_warning("spool: dropped %zu messages, entries %s to %s (transactions %s to %s): %.*s",
                numbers.size(), spool_number_text(numbers.front()).c_str(),
                spool_number_text(numbers.back()).c_str(), log_escape(first).c_str(),
                log_escape(last).c_str(), static_cast<int>(why.size()), why.data());
}

// Ticks as seconds for the log, rounded up.
long long whole_seconds(std::int64_t ticks) {
    return static_cast<long long>((std::max<std::int64_t>(ticks, 0) + ticks_per_second - 1) /
                                  ticks_per_second);
}

std::int64_t jittered_ticks(std::int64_t seconds) {
    // Up to a tenth either way, so that entries that failed together do not return together.
    std::uniform_int_distribution<std::int64_t> spread(-seconds * ticks_per_second / 10,
                                                       seconds * ticks_per_second / 10);
    return seconds * ticks_per_second + spread(spool.random);
}

void kick() {
    if (spool.kick_fd >= 0 && !spool.kicked) {
        const std::uint64_t one = 1;
        spool.kicked = write(spool.kick_fd, &one, sizeof one) == sizeof one;
    }
}

void delivery_ended(std::uint64_t number, const std::string& account, delivery_outcome outcome,
                    bool reached);
void write_held();
void make_room(const std::string& account, std::size_t room);

// Whether the accounts come from an account file; without one, the single VASP is named in the
// log as it always was.
bool named_accounts() {
    return spool.accounts != nullptr && !spool.accounts->file.empty();
}
// How the log names an account: "the VASP", or "VASP acme".
std::string vasp_words(std::string_view account) {
    return named_accounts() ? concat({"VASP ", account}) : std::string("the VASP");
}
// What the log adds about the account of an entry: nothing, or " for VASP acme".
std::string for_vasp(std::string_view account) {
    if (!named_accounts()) {
        return std::string();
    }
    return account.empty() ? std::string(" taken by no VASP account")
                           : concat({" for VASP ", account});
}

void count_dropped(std::string_view reason, std::string_view account, std::size_t n) {
    if (n != 0 && named_accounts()) {  // every account's series is there from the first scrape
        metrics_add("mm7_spool_dropped_total", {{"reason", reason}, {"vasp", account}},
                    static_cast<double>(n));
    } else if (n != 0) {
        metrics_add("mm7_spool_dropped_total", {{"reason", reason}}, static_cast<double>(n));
    }
}

vasp_queue& queue_of(const std::string& account) {
    return spool.queues[account];
}

// A connection to the account's VASP was made: whatever waited for it is due at once.
void vasp_back(const std::string& account) {
    vasp_queue& q = queue_of(account);
    if (q.unreachable) {
        const std::int64_t now = ticks_now();
        std::size_t waiting = 0;
        for (auto& [n, other] : spool.entries) {
            if (other.account != account) {
                continue;
            }
            ++waiting;
            if (other.waits_for_vasp) {
                other.next_try = now;
                other.waits_for_vasp = false;
            }
        }
        log_info("spool: %s is back, %zu messages waiting", vasp_words(account).c_str(), waiting);
        kick();
    }
    q.unreachable = false;
    q.probe_failures = 0;
}

// Points a delivery at its account's endpoint.
void aim(mm7_client_info& info, const std::string& account) {
    if (const vasp_account* a = spool.accounts->find(account)) {
        info.url = mm7_delivery_url(*spool.accounts, *a, *spool.config);
        info.address = a->delivery_address;
        info.tls_context_of_vasp = a->delivery_tls;
    }
    info.vasp = named_accounts() ? account : std::string();  // its metrics label
}

// Attaches the spool's end-of-delivery handling and starts it.  The delivery keeps the account
// and the endpoint it starts with, whatever a reload installs meanwhile.
void launch(std::uint64_t number, spool_entry& e, std::unique_ptr<mm7_client_info> info,
            bool probe) {
    const std::string account = e.account;
    e.in_flight = true;
    e.probe = probe;
    ++e.tries;
    ++queue_of(account).in_flight;
    ++spool.in_flight;
    log_printf(
        "spool: try %u of transaction %s (entry %s)%s%s", e.tries,
        log_escape(e.transaction).c_str(), spool_number_text(number).c_str(),
        for_vasp(account).c_str(),
        e.probe ? concat({", checking whether ", vasp_words(account), " is back"}).c_str() : "");
    aim(*info, account);
    info->on_finished = [number, account](delivery_outcome outcome, bool reached) {
        delivery_ended(number, account, outcome, reached);
    };
    // A probe that connects ends the wait at once, however long it then takes.
    info->on_connected = [account] { vasp_back(account); };
    mm7_start_delivery(std::move(info));
}

bool too_old(const spool_entry& e, std::int64_t wall) {
    const std::int64_t max_age = static_cast<std::int64_t>(spool.config->storage_age) * 3600;
    return max_age > 0 && wall - e.received > max_age;
}
std::string too_old_text() {
    return concat({"older than ", std::to_string(spool.config->storage_age), " hours"});
}

// The indication an entry's PDU is delivered from, as the kernel module gave it.
xgate_message indication_of(std::uint64_t number, const spool_entry& e) {
    xgate_message indication;
    indication.imsi = e.imsi;
    indication.port = e.port;
    indication.recipient = e.recipient;
    indication.sender = e.sender;
    if (e.held) {
        indication.flags = MMSRCV_FLAG_PDU;
        indication.data = *e.held;
    } else {
        indication.flags = MMSRCV_FLAG_FILE;
        const std::string pdu = path_of(number, ".pdu");
        indication.data.assign(pdu.begin(), pdu.end());
    }
    return indication;
}

bool pdu_file_intact(std::uint64_t number, const spool_entry& e) {
    struct stat st {};
    return e.held || (stat(path_of(number, ".pdu").c_str(), &st) == 0 &&
                      static_cast<std::uint64_t>(st.st_size) == e.size);
}

// Starts an entry from its spooled PDU.
void start_entry(std::uint64_t number) {
    spool_entry& e = spool.entries.at(number);
    if (too_old(e, spool_wall_seconds())) {
        drop(number, too_old_text());
        return;
    }
    if (!pdu_file_intact(number, e)) {
        move_aside(number, "its PDU file is missing or not of the recorded size");
        return;
    }
    auto info = mm7_prepare_delivery(indication_of(number, e), *spool.config, e.transaction);
    if (!info) {
        move_aside(number, "its PDU can no longer be delivered");
        return;
    }
    launch(number, e, std::move(info), queue_of(e.account).unreachable);
}

// What routing looks at in a spooled message: its record and the headers of its PDU.
std::optional<delivery_keys> keys_of(std::uint64_t number, const spool_entry& e) {
    constexpr std::size_t HEADER_WINDOW = 4096;  // the headers lie within it, as on arrival
    buffer head;
    if (e.held) {
        head.assign(e.held->begin(), e.held->begin() + static_cast<std::ptrdiff_t>(std::min(
                                                           e.held->size(), HEADER_WINDOW)));
    } else if (pdu_file_intact(number, e)) {
        head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(e.size, HEADER_WINDOW)));
        const int fd = open(path_of(number, ".pdu").c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t n = fd >= 0 ? pread(fd, head.data(), head.size(), 0) : -1;
        if (fd >= 0) {
            close(fd);
        }
        head.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    if (head.empty()) {
        return std::nullopt;
    }
    std::uint32_t offset = 0;
    mms_message message = ParseMMSHeaders(head, offset, false);
    if (!e.recipient.empty()) {
        message.gateway_recipient = e.recipient;
    }
    return mm7_delivery_keys(message, e.port);
}

void warn_unroutable(std::uint64_t number, const spool_entry& e) {
    log_warning(
        "spool: transaction %s from %s to %s (entry %s) is taken by no VASP account, kept in the "
        "spool until one is",
        log_escape(e.transaction).c_str(), log_escape(e.shown_from).c_str(),
        log_escape(e.shown_to).c_str(), spool_number_text(number).c_str());
}

// Writes an entry's record anew after its account changed; on failure the old record stays,
// and the next start routes the entry again.
void rewrite_record(std::uint64_t number, const spool_entry& e) {
    if (e.held) {
        return;  // written out with its account once the spool can be written
    }
    const std::string tmp = path_of(number, ".meta.tmp");
    unlink(tmp.c_str());
    if (!write_file_synced(tmp, as_bytes(meta_text(e))) ||
        rename(tmp.c_str(), path_of(number, ".meta").c_str()) != 0 || !sync_dir(spool.dir)) {
        log_warning("spool: cannot write the record of entry %s anew: %s",
                    spool_number_text(number).c_str(), std::strerror(errno));
        unlink(tmp.c_str());
    }
}

// Checks an entry that is not under way against the accounts in force.  It keeps an account
// that is still there; one without (no account took it, an older version wrote it, or a reload
// removed its account) is routed by the rules.  The entry may be gone afterwards.
void route_entry(std::uint64_t number, spool_entry& e) {
    e.routed = spool.generation;
    if (!e.account.empty() && spool.accounts->find(e.account) != nullptr) {
        return;
    }
    const std::optional<delivery_keys> keys = keys_of(number, e);
    if (!keys) {
        move_aside(number, "its PDU file is missing or not of the recorded size");
        return;
    }
    const vasp_account* account = mm7_route_delivery(*spool.accounts, mm7_message_owners(), *keys);
    const std::string before = std::exchange(e.account, account ? account->name : std::string());
    if (account == nullptr) {
        warn_unroutable(number, e);
    } else {
        log_info("spool: transaction %s (entry %s) goes to VASP %s",
                 log_escape(e.transaction).c_str(), spool_number_text(number).c_str(),
                 account->name.c_str());
    }
    if (before != e.account) {
        rewrite_record(number, e);
        make_room(e.account, 0);
    }
}

// Takes the accounts in force; a new set has every entry checked against it once.
void refresh_accounts() {
    std::shared_ptr<const vasp_accounts> current = mm7_accounts_current();
    if (current != spool.accounts) {
        spool.accounts = std::move(current);
        ++spool.generation;
    }
}

bool may_start(const vasp_queue& q, std::int64_t now) {
    if (q.unreachable) {
        return q.in_flight == 0 && q.probe_at - now <= 0;
    }
    return q.in_flight < SPOOL_MAX_IN_FLIGHT;
}

// The oldest entry of an account that may start now, if any.
std::optional<std::uint64_t> next_due(const std::string& account, std::int64_t now) {
    const bool unreachable = queue_of(account).unreachable;
    for (auto& [number, e] : spool.entries) {
        if (e.account == account && !e.in_flight && (unreachable || e.next_try - now <= 0)) {
            return number;
        }
    }
    return std::nullopt;
}

// Starts what may start now, oldest first within each account; each account's queue is paced
// on its own.
void dispatch() {
    if (spool.stopping || !spool.usable) {
        return;
    }
    refresh_accounts();
    std::vector<std::uint64_t> waiting;
    for (const auto& [number, e] : spool.entries) {
        if (!e.in_flight) {
            waiting.push_back(number);
        }
    }
    for (const std::uint64_t number : waiting) {
        auto it = spool.entries.find(number);
        if (it != spool.entries.end() && it->second.routed != spool.generation) {
            route_entry(number, it->second);
            it = spool.entries.find(number);
        }
        if (it == spool.entries.end() || it->second.in_flight || it->second.account.empty()) {
            continue;
        }
        const spool_entry& e = it->second;
        const vasp_queue& q = queue_of(e.account);
        const std::int64_t now = ticks_now();
        if (may_start(q, now) && (q.unreachable || e.next_try - now <= 0)) {
            start_entry(number);
        }
    }
}

void delivery_ended(std::uint64_t number, const std::string& account, delivery_outcome outcome,
                    bool reached) {
    vasp_queue& q = queue_of(account);
    --q.in_flight;
    --spool.in_flight;
    kick();
    // An endpoint fails until it takes a message or answers that a message is at fault.
    if (outcome == delivery_outcome::delivered || outcome == delivery_outcome::client_error) {
        q.failing_since = 0;
    } else if (outcome != delivery_outcome::bad_pdu && q.failing_since == 0) {
        q.failing_since = spool_wall_seconds();
    }
    auto it = spool.entries.find(number);
    if (it == spool.entries.end()) {
        return;  // dropped by a bound while it was under way
    }
    spool_entry& e = it->second;
    e.in_flight = false;
    const std::int64_t now = ticks_now();
    switch (outcome) {
        case delivery_outcome::delivered:
            remove_files(number);
            erase_entry(it);
            vasp_back(account);
            return;
        case delivery_outcome::client_error:
            q.unreachable = false;
            drop(number, concat({vasp_words(account),
                                 " refused it as a client error, retrying cannot help"}));
            return;
        case delivery_outcome::bad_pdu:
            move_aside(number, "its PDU changed or turned out unusable while it was sent");
            return;
        default:
            break;
    }
    if (reached) {
        // The VASP is there, but did not take this message: it waits on its own.
        q.unreachable = false;
        q.probe_failures = 0;
        const std::int64_t wait =
            jittered_ticks(mm7_spool_retry_delay(spool.config->retry_delay, e.tries));
        e.next_try = now + wait;
        e.waits_for_vasp = false;
        log_printf("spool: transaction %s not taken by %s (try %u), next try in %lld s",
                   log_escape(e.transaction).c_str(), vasp_words(account).c_str(), e.tries,
                   whole_seconds(wait));
        return;
    }
    // No connection: everything of this account waits for one probe, whose interval grows
    // while it fails.
    if (!q.unreachable || e.probe) {
        q.probe_failures = q.unreachable ? q.probe_failures + 1 : 1;
        q.probe_at = now + jittered_ticks(
                               mm7_spool_retry_delay(spool.config->retry_delay, q.probe_failures));
    }
    q.unreachable = true;
    e.waits_for_vasp = true;
    e.next_try = q.probe_at;
    log_printf(
        "spool: transaction %s not delivered (try %u), %s is unreachable; next try in %lld s",
        log_escape(e.transaction).c_str(), e.tries, vasp_words(account).c_str(),
        whole_seconds(q.probe_at - now));
}

// Drops entries past the age bound; logs the summary once a minute.
int spool_tick() {
    const std::int64_t wall = spool_wall_seconds();
    std::map<std::string, std::vector<std::uint64_t>> old;  // by account
    for (const auto& [number, e] : spool.entries) {
        if (too_old(e, wall)) {
            old[e.account].push_back(number);
        }
    }
    for (const auto& [account, numbers] : old) {
        count_dropped("age", account, numbers.size());
        drop_all(numbers, too_old_text());
    }
    spool_bad_trim(*spool.config, spool.dir);
    write_held();
    dispatch();
    std::set<std::string_view> busy;  // accounts with entries
    for (const auto& [number, e] : spool.entries) {
        busy.insert(e.account);
    }
    for (auto& [account, q] : spool.queues) {
        if (q.in_flight == 0 && !busy.contains(account)) {
            q.failing_since = 0;  // nothing left to deliver: no endpoint failing to speak of
        }
    }
    const std::int64_t now = ticks_now();
    if (spool.entries.empty()) {
        spool.next_summary = now;
    } else if (now - spool.next_summary >= 0) {
        spool.next_summary = now + SUMMARY_SECONDS * ticks_per_second;
        std::int64_t oldest = wall;
        std::optional<std::int64_t> next;
        std::size_t unroutable = 0;
        for (const auto& [number, e] : spool.entries) {
            oldest = std::min(oldest, e.received);
            unroutable += e.account.empty() ? 1 : 0;
            if (!e.in_flight && !e.account.empty()) {
                const vasp_queue& q = queue_of(e.account);
                const std::int64_t at = q.unreachable ? q.probe_at : e.next_try;
                next = next ? std::min(*next, at) : at;
            }
        }
        const std::string next_text =
            next ? concat({"next try in ", std::to_string(whole_seconds(*next - now)), " s"})
                 : std::string("no try waiting");
        std::string down;
        for (const auto& [account, q] : spool.queues) {
            if (q.unreachable && busy.contains(account)) {
                down += concat({", ", vasp_words(account), " is unreachable"});
            }
        }
        if (unroutable != 0) {
            down += concat({", ", std::to_string(unroutable), " taken by no VASP account"});
        }
        log_info("spool: %zu messages waiting, %zu under way, oldest %lld s old, %s%s",
                 spool.entries.size(), spool.in_flight, static_cast<long long>(wall - oldest),
                 next_text.c_str(), down.c_str());
    }
    return 0;
}

// Keeps the messages of one account (or those no account takes) within --storagesize, oldest
// first, with room for `room` more.
void make_room(const std::string& account, std::size_t room) {
    const std::size_t bound = spool.config->storage_size;
    const auto kept = static_cast<std::size_t>(
        std::count_if(spool.entries.begin(), spool.entries.end(),
                      [&](const auto& entry) { return entry.second.account == account; }));
    std::vector<std::uint64_t> oldest;
    for (auto it = spool.entries.begin();
         bound > 0 && it != spool.entries.end() && kept - oldest.size() + room > bound; ++it) {
        if (it->second.account == account) {
            oldest.push_back(it->first);
        }
    }
    count_dropped("size", account, oldest.size());
    drop_all(oldest, concat({"the spool is full (", std::to_string(bound), " messages",
                             for_vasp(account), ")"}));
}

// The spool's directories, made again when they were removed; false when they cannot be.
bool ensure_dirs() {
    for (const std::string& dir : {spool.dir, spool.dir + "bad/"}) {
        struct stat st {};
        if (mkdir(dir.c_str(), 0750) != 0 &&
            (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
            return false;
        }
    }
    return true;
}

// Where an entry's PDU comes from: bytes in memory, or an open file of the given size.
struct pdu_source {
    byte_view bytes;
    int fd = -1;
};

// Writes the files of entry `number`; nothing on success, else the step that failed (errno
// set), with whatever it had written removed again.
const char* write_entry(std::uint64_t number, const spool_entry& e, const pdu_source& source) {
    const std::string pdu = path_of(number, ".pdu");
    const std::string meta = path_of(number, ".meta");
    const std::string tmp = path_of(number, ".meta.tmp");
    const char* step = "write the PDU";
    bool ok = source.fd >= 0 ? copy_pdu(source.fd, pdu, e.size)
                             : write_file_synced(pdu, source.bytes.first(e.size));
    if (ok) {
        step = "write the record";
        ok = write_file_synced(tmp, as_bytes(meta_text(e)));
    }
    if (ok) {
        step = "commit the record";
        ok = rename(tmp.c_str(), meta.c_str()) == 0 && sync_dir(spool.dir);
    }
    if (ok) {
        return nullptr;
    }
    const int err = errno;
    unlink(tmp.c_str());
    unlink(meta.c_str());
    unlink(pdu.c_str());
    errno = err;
    return step;
}

// The PDU of a delivery that could not be spooled, read into memory; nothing when it cannot be
// read whole.
std::optional<buffer> read_pdu(mm7_client_info& info, std::uint64_t size) {
    buffer pdu(static_cast<std::size_t>(size));
    if (mm7_client_read_pdu(info, 0, pdu) != pdu.size()) {
        return std::nullopt;
    }
    return pdu;
}

// Entries held in memory go to disk, oldest first, as soon as the spool can be written again.
void write_held() {
    if (spool.held_bytes == 0 || !ensure_dirs()) {
        return;
    }
    for (auto& [number, e] : spool.entries) {
        if (!e.held) {
            continue;
        }
        if (write_entry(number, e, {*e.held}) != nullptr) {
            return;  // still not writable: the next tick tries again
        }
        spool.held_bytes -= e.held->size();
        e.held.reset();
        log_info(
            "spool: transaction %s written to the spool as entry %s, no longer only in "
            "memory",
            log_escape(e.transaction).c_str(), spool_number_text(number).c_str());
    }
}

void try_once_unspooled(std::unique_ptr<mm7_client_info> info) {
    info->on_finished = nullptr;
    mm7_start_delivery(std::move(info));
}

// Takes in what an earlier run left in the spool.
void scan() {
    DIR* dir = opendir(spool.dir.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> names;
    while (const dirent* d = readdir(dir)) {
        names.emplace_back(d->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::vector<std::uint64_t> orphans;
    for (const std::string& name : names) {
        std::uint64_t number = 0;
        if (!spool_number_of_name(name, number)) {
            continue;
        }
        const std::string_view suffix = std::string_view(name).substr(SPOOL_NUMBER_DIGITS);
        spool.last_number = std::max(spool.last_number, number);
        if (suffix == ".meta") {
            auto e = parse_meta(read_small_file(spool.dir + name));
            struct stat st {};
            if (!e) {
                move_aside(number, "its record is truncated or corrupt");
            } else if (stat(path_of(number, ".pdu").c_str(), &st) != 0 ||
                       static_cast<std::uint64_t>(st.st_size) != e->size) {
                move_aside(number, "its PDU file is missing or not of the recorded size");
            } else {
                spool.entries.emplace(number, std::move(*e));
            }
        } else if (suffix == ".pdu" || suffix == ".meta.tmp") {
            orphans.push_back(number);
        }
    }
    for (const std::uint64_t number : orphans) {
        struct stat st {};
        if (!spool.entries.contains(number) && stat(path_of(number, ".meta").c_str(), &st) != 0 &&
            lstat(path_of(number, ".pdu").c_str(), &st) == 0) {
            move_aside(number, "spooling was cut off before its record was written");
        } else if (!spool.entries.contains(number)) {
            unlink(path_of(number, ".meta.tmp").c_str());
        }
    }
    std::set<std::string> accounts;  // as recorded: older versions recorded none
    for (const auto& [number, e] : spool.entries) {
        accounts.insert(e.account);
    }
    for (const std::string& account : accounts) {
        make_room(account, 0);
    }
    for (auto& [number, e] : spool.entries) {
        e.next_try = ticks_now();
    }
    if (!spool.entries.empty()) {
        log_info("spool: %zu messages found in %s, delivering them", spool.entries.size(),
                 spool.dir.c_str());
    }
}

}  // namespace

std::int64_t mm7_spool_retry_delay(std::uint32_t base_seconds, std::uint32_t failures) {
    std::int64_t delay = std::max<std::int64_t>(base_seconds, 1);
    for (std::uint32_t i = 1; i < failures && delay < SPOOL_MAX_RETRY_SECONDS; ++i) {
        delay *= 2;
    }
    return std::min(delay, SPOOL_MAX_RETRY_SECONDS);
}

bool mm7_spool_init(server_config& config) {
    spool.config = &config;
    spool.dir = config.workdir + "spool/";
    if (!ensure_dirs()) {
        log_error(
            "spool: CANNOT CREATE %s: %s; received messages are held in memory until it can be "
            "made",
            spool.dir.c_str(), std::strerror(errno));
    }
    spool.kick_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (spool.kick_fd < 0) {
        // Without it no delivery would ever start: received messages would pile up unsent.
        log_fatal("spool: cannot create an event descriptor: %s", std::strerror(errno));
        return false;
    }
    // Starts are made from the event loop, never from inside the handler that ended a
    // delivery.
    mainloop_register_fd(spool.kick_fd, MAINLOOP_IN, [](int fd, int) {
        std::uint64_t count = 0;
        while (read(fd, &count, sizeof count) > 0) {
        }
        spool.kicked = false;
        dispatch();
        return 0;
    });
    spool.usable = true;
    spool_bad_scan(config, spool.dir);
    scan();
    mainloop_add_tick(spool_tick);
    kick();
    return true;
}

void mm7_spool_submit(std::unique_ptr<mm7_client_info> info) {
    const mms_message& message = *info->envelope_data;
    spool_entry e;
    e.received = spool_wall_seconds();
    e.port = info->port;
    e.imsi = info->imsi;
    e.recipient = message.gateway_recipient.value_or("");
    e.sender = message.gateway_sender.value_or("");
    e.shown_to = !e.recipient.empty()                 ? e.recipient
                 : message.to && !message.to->empty() ? message.to->front()
                                                      : message.recipient.value_or("?");
    e.shown_from = !e.sender.empty() ? e.sender : message.from.value_or("?");
    e.transaction = message.transaction_id.value_or("");
    e.size = info->pdu_end;
    refresh_accounts();
    const vasp_account* account = mm7_route_delivery(*spool.accounts, mm7_message_owners(),
                                                     mm7_delivery_keys(message, info->port));
    e.account = account != nullptr ? account->name : std::string();
    e.routed = spool.generation;
    aim(*info, e.account);
    const std::uint64_t number = next_number();
    // The open PDU file is copied, not its name: it may have been replaced since it was read.
    const pdu_source source =
        info->pdu_copy ? pdu_source{*info->pdu_copy} : pdu_source{{}, fileno(info->pdu_file.get())};
    const char* failed = write_entry(number, e, source);
    if (failed != nullptr && errno == ENOENT && ensure_dirs()) {
        failed = write_entry(number, e, source);  // the spool directory had been removed
    }
    if (failed != nullptr) {
        const int err = errno;
        const std::string why =
            concat({"cannot ", failed, " in ", spool.dir, ": ", std::strerror(err)});
        if (spool.held_bytes + e.size <= SPOOL_MAX_HELD_BYTES) {
            e.held = read_pdu(*info, e.size);
        }
        if (!e.held && account == nullptr) {
            log_error(
                "spool: CANNOT SPOOL transaction %s from %s to %s: %s; no room in memory either "
                "(%zu bytes held), and no VASP account takes it: THE MESSAGE IS LOST unless %s "
                "is kept",
                log_escape(e.transaction).c_str(), log_escape(e.shown_from).c_str(),
                log_escape(e.shown_to).c_str(), why.c_str(), spool.held_bytes,
                log_escape(info->pdu_path).c_str());
            return;
        }
        if (!e.held) {
            log_error(
                "spool: CANNOT SPOOL transaction %s from %s to %s: %s; no room in memory either "
                "(%zu bytes held), the delivery is tried once and THE MESSAGE IS LOST if it fails",
                log_escape(e.transaction).c_str(), log_escape(e.shown_from).c_str(),
                log_escape(e.shown_to).c_str(), why.c_str(), spool.held_bytes);
            try_once_unspooled(std::move(info));
            return;
        }
        spool.held_bytes += e.held->size();
        log_error(
            "spool: CANNOT SPOOL transaction %s from %s to %s: %s; held in memory as entry %s "
            "until the spool can be written",
            log_escape(e.transaction).c_str(), log_escape(e.shown_from).c_str(),
            log_escape(e.shown_to).c_str(), why.c_str(), spool_number_text(number).c_str());
    } else if (!info->pdu_copy) {
        // This try reads the spool's own copy too.
        const std::string pdu = path_of(number, ".pdu");
        const int fd = open(pdu.c_str(), O_RDONLY | O_CLOEXEC);
        if (unique_file copy{fd >= 0 ? fdopen(fd, "rb") : nullptr}) {
            info->pdu_file = std::move(copy);
            info->pdu_path = pdu;
        } else if (fd >= 0) {
            close(fd);
        }
    }
    make_room(e.account, 1);
    if (failed == nullptr) {
        log_printf("spool: transaction %s from %s to %s spooled as entry %s (%llu bytes)%s",
                   log_escape(e.transaction).c_str(), log_escape(e.shown_from).c_str(),
                   log_escape(e.shown_to).c_str(), spool_number_text(number).c_str(),
                   static_cast<unsigned long long>(e.size), for_vasp(e.account).c_str());
    }
    const std::int64_t now = ticks_now();
    e.next_try = now;
    spool_entry& entry = spool.entries.emplace(number, std::move(e)).first->second;
    if (account == nullptr) {
        warn_unroutable(number, entry);
        return;
    }
    // A new message is tried at once when nothing older of its account is due, even while its
    // VASP is thought unreachable (one at a time then): otherwise it goes in its turn, from the
    // spool.
    const vasp_queue& q = queue_of(entry.account);
    const bool free = q.unreachable ? q.in_flight == 0
                                    : may_start(q, now) && next_due(entry.account, now) == number;
    if (!spool.stopping && free) {
        launch(number, entry, std::move(info), false);
    } else {
        kick();
    }
}

std::optional<std::string> mm7_spool_set_aside(mm7_client_info& info, std::uint64_t size) {
    const std::string spool_dir = info.config->workdir + "spool/";
    const std::string dir = spool_dir + "bad/";
    const std::uint64_t number = next_number();
    const std::string path = spool_bad_path(spool_dir, number, ".pdu");
    if (spool.config != nullptr) {
        ensure_dirs();
    }
    bool ok = false;
    if (info.pdu_copy) {
        ok = write_file_synced(path, byte_view(*info.pdu_copy)
                                         .first(static_cast<std::size_t>(std::min<std::uint64_t>(
                                             size, info.pdu_copy->size()))));
    } else if (info.pdu_file) {
        ok = copy_pdu(fileno(info.pdu_file.get()), path, size);
    }
    if (!ok) {
        const int err = errno;
        log_error("spool: cannot keep a copy of %s in %s: %s",
                  info.pdu_copy ? "an inline PDU" : log_escape(info.pdu_path).c_str(), dir.c_str(),
                  std::strerror(err));
        return std::nullopt;
    }
    spool_bad_note(spool_dir, number);
    spool_bad_trim(*info.config, spool_dir);
    return path;
}

void mm7_spool_stop() {
    spool.stopping = true;
    write_held();
    if (spool.held_bytes > 0) {
        const auto held =
            std::count_if(spool.entries.begin(), spool.entries.end(),
                          [](const auto& entry) { return entry.second.held.has_value(); });
        log_error("spool: CANNOT SPOOL %zu messages held in memory, THEY ARE LOST with this stop",
                  static_cast<std::size_t>(held));
    }
    if (!spool.entries.empty()) {
        log_info("spool: %zu messages stay in %s for the next start", spool.entries.size(),
                 spool.dir.c_str());
    }
}

std::size_t mm7_spool_count() {
    return spool.entries.size();
}

std::map<std::string, spool_totals, std::less<>> mm7_spool_totals() {
    std::map<std::string, spool_totals, std::less<>> totals;
    for (const auto& [number, e] : spool.entries) {
        spool_totals& t = totals[e.account];
        t.oldest = t.entries == 0 ? e.received : std::min(t.oldest, e.received);
        ++t.entries;
        t.bytes += e.size;
    }
    return totals;
}

std::vector<std::pair<std::string, std::int64_t>> mm7_spool_failing(std::int64_t longer_than) {
    std::vector<std::pair<std::string, std::int64_t>> failing;
    const std::int64_t now = spool_wall_seconds();
    for (const auto& [account, q] : spool.queues) {
        if (q.failing_since != 0 && now - q.failing_since > longer_than) {
            failing.emplace_back(account, now - q.failing_since);
        }
    }
    return failing;
}
