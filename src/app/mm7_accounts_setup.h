// Start-up and reload of the VASP accounts: the account file (--vaspfile) or the one implicit
// account of the single-VASP options, and the Message-ID records beside the spool.
#pragma once

#include "core/config.h"

// Reads and checks the accounts and installs them.  False, with one error line for each fault
// (also on stderr), when the file is not usable.
bool mm7_accounts_start(const server_config& config);
// Reads the account file again and installs it whole when it is sound; else the accounts in
// force stay, with error lines.  Nothing to do without --vaspfile.
bool mm7_accounts_reload(const server_config& config);
// Loads the Message-ID records (dropping those past --storageage) and keeps them tidy from then on.
void mm7_message_owners_start(const server_config& config);
