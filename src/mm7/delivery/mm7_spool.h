// The delivery spool: every received message that is to reach a VASP is first made durable in
// "<workdir>spool/", and stays there until its VASP has taken it.  Each message goes to the VASP
// account routing picks (mm7_route.h), and each account has a queue of its own: deliveries start
// in order of arrival, a bounded number at a time, and failed ones are retried with a capped
// exponential back-off, so an account whose endpoint is down never holds up another's.  A
// message no account takes stays in the spool until a set of accounts that takes it is
// installed.  A restart picks up whatever the spool holds.
//
// An entry is two files named by its arrival number: "N.pdu", the PDU (written, or copied from
// the PDU file the indication named, and synced), and "N.meta", a short text record written
// last (through a temporary name and a rename) that commits the entry.  The record names the
// entry's account; one that names none (no account took it, or an older version wrote it) is
// routed again when the spool starts and after each reload.  Entries that cannot be
// read back are moved to "spool/bad/".  While the spool cannot be written, entries are held in
// memory and written out as soon as it can.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/config.h"
#include "mm7/delivery/mm7_client.h"
#include "xgate/xgate.h"

// Deliveries the spool runs at once for each account; while its VASP is unreachable, one probe
// at a time.
inline constexpr std::size_t SPOOL_MAX_IN_FLIGHT = 8;
// Longest wait between two tries of an entry, in seconds.
inline constexpr std::int64_t SPOOL_MAX_RETRY_SECONDS = 600;
// Most octets of PDUs held in memory, together, while the spool cannot be written.
inline constexpr std::size_t SPOOL_MAX_HELD_BYTES = std::size_t{64} << 20;

// Creates the spool directories, takes in what an earlier run left and starts delivering it.
// False when the spool cannot work at all (logged as fatal): the daemon does not start then.
bool mm7_spool_init(server_config& config);
// Takes a prepared delivery: spools its PDU and starts it when its turn comes.  When the spool
// cannot be written, the PDU is held in memory (within SPOOL_MAX_HELD_BYTES) and retried the
// same way; beyond that the delivery is tried once, directly, and the loss is logged.
void mm7_spool_submit(std::unique_ptr<mm7_client_info> info);
// Keeps a copy of a received PDU that cannot be delivered whole in "spool/bad/" for the
// operator; the copy's path, or nothing (logged).
std::optional<std::string> mm7_spool_set_aside(mm7_client_info& info, std::uint64_t size);
// No new deliveries start from here on (a clean stop); the spool stays for the next start.
void mm7_spool_stop();
// Entries in the spool.
std::size_t mm7_spool_count();
struct spool_totals {
    std::size_t entries = 0;
    std::uint64_t bytes = 0;  // of their PDUs
    std::int64_t oldest = 0;  // arrival of the oldest entry, seconds since the epoch
};
// By VASP account; "" holds the messages no account takes.
std::map<std::string, spool_totals, std::less<>> mm7_spool_totals();
// The accounts whose endpoint has failed every try for more than longer_than seconds, with
// how long it has.
std::vector<std::pair<std::string, std::int64_t>> mm7_spool_failing(std::int64_t longer_than);
// Seconds to wait before try number n + 1 after n failed ones (n >= 1), before jitter.
std::int64_t mm7_spool_retry_delay(std::uint32_t base_seconds, std::uint32_t failures);

// Prepared by the delivery path (HandleXgateMmsRcvInd): checks and decodes the PDU an
// indication carries or names and fills a delivery record; nothing when the message is not
// delivered (logged: dropped, or handed to turbo mode).  transaction_id is used when the PDU
// has none of its own.
std::unique_ptr<mm7_client_info> mm7_prepare_delivery(const xgate_message& indication,
                                                      server_config& config,
                                                      std::optional<std::string> transaction_id);
// Opens the connection of a prepared delivery and hands it to the client; a failure to open
// ends the delivery at once (its on_finished is called).
void mm7_start_delivery(std::unique_ptr<mm7_client_info> info);
