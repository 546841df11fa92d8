// spool/bad/: copies of undeliverable PDUs and spool entries moved aside, kept for the operator
// within --badsize and --badage.  Files are named by the spool's arrival numbers ("N.pdu",
// "N.meta"), which grow with arrival, so the smallest number is the oldest copy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/config.h"

// "<spool_dir>bad/N<suffix>".
std::string spool_bad_path(const std::string& spool_dir, std::uint64_t number,
                           std::string_view suffix);
// Takes the files of one number in bad/ into the account.
void spool_bad_note(const std::string& spool_dir, std::uint64_t number);
// Keeps bad/ within --badsize and --badage, oldest copies first, with one line per bound that
// removed any.
void spool_bad_trim(const server_config& config, const std::string& spool_dir);
// Reads what bad/ holds (at start-up) and applies the bounds.
void spool_bad_scan(const server_config& config, const std::string& spool_dir);
// Bytes of the copies in bad/.
std::uint64_t spool_bad_bytes();
