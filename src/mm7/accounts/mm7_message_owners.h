// Which VASP account's submission a Message-ID belongs to, so that the delivery and read reports
// the network sends for it go back to that account.  Recorded when the network confirms a send,
// kept in a file beside the spool (one line a record, appended), so a restart between the send
// and its report loses nothing, and dropped once older than the storage age.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// Records kept at most; past it the oldest go first.
inline constexpr std::size_t MM7_MESSAGE_OWNERS_MAX = 1'000'000;

class message_owners {
  public:
    // path: the file of the records ("<workdir>message-owners").
    explicit message_owners(std::string path) : path_(std::move(path)) {}

    // Takes in the file's records younger than max_age seconds (a line cut short by a crash is
    // skipped) and writes the file anew without the others.  False when the file exists but
    // cannot be read or rewritten.
    bool load(std::int64_t now, std::int64_t max_age);
    // Notes that message_id came from account's submission; appended to the file at once.
    bool record(std::string_view message_id, std::string_view account, std::int64_t now);
    // The account whose submission produced message_id, if it is known.
    std::optional<std::string> owner(std::string_view message_id) const;
    // Forgets records older than max_age seconds; the file is written anew once at least half
    // of its lines are forgotten ones.
    void expire(std::int64_t now, std::int64_t max_age);
    std::size_t size() const { return records_.size(); }

  private:
    struct entry {
        std::string account;
        std::int64_t since = 0;
    };
    bool rewrite();

    std::string path_;
    std::unordered_map<std::string, entry> records_;
    std::size_t lines_ = 0;  // lines in the file, forgotten ones included
};

// The records of this process, once start-up has loaded them; nullptr before.
message_owners* mm7_message_owners();
void mm7_message_owners_install(std::unique_ptr<message_owners> owners);
