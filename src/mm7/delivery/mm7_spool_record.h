// The spool's files: one entry's record (a small text file beside its PDU) and the synced
// writes and copies that make an entry durable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/string_utils.h"

// One message in the spool.
struct spool_entry {
    std::int64_t received = 0;  // seconds since the epoch
    std::uint32_t port = 0;
    std::string imsi;
    std::string recipient;  // as the indication gave them (may be empty)
    std::string sender;
    std::string shown_to;  // for log lines: the indication's texts, or the PDU's own
    std::string shown_from;
    std::string transaction;
    std::uint64_t size = 0;    // of the PDU
    std::string account;       // the VASP account it goes to; empty: none takes it (yet)
    std::uint64_t routed = 0;  // the set of accounts its account was last checked against
    std::uint32_t tries = 0;
    std::int64_t next_try = 0;  // ticks
    bool in_flight = false;
    bool probe = false;           // the try that checks whether the VASP is back
    bool waits_for_vasp = false;  // its last try found the VASP unreachable
    std::optional<buffer> held;   // the PDU, while the spool cannot be written
};

// The record of an entry, and the record read back (nothing when it is not whole).
std::string meta_text(const spool_entry& e);
std::optional<spool_entry> parse_meta(std::string_view text);

// Writes data to a new file, synced; false (errno set) when it cannot.
bool write_file_synced(const std::string& path, byte_view data);
// size octets of the open PDU file in, from its start, into a new synced file of the spool.
// Always a copy of its own: the kernel module may write a new message under the same name.
bool copy_pdu(int in, const std::string& to, std::uint64_t size);
bool sync_dir(const std::string& dir);
// A small file's text ("" when it cannot be read).
std::string read_small_file(const std::string& path);
