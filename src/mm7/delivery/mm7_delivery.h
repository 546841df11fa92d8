// The delivery side of MM7: what the network sends, carried to the VASP.  This room owns the MM7
// client (mm7_client.h: one outbound connection per message, its request stream and the judging
// of the reply), the walk over a received PDU's entries (mm7_entries.h), the preparation of a
// delivery from the kernel module's indication (mm7_delivery.cpp) and the spool that keeps every
// message until the VASP has taken it (mm7_spool.h).  It uses core, the codec, the kernel link's
// message record, turbo mode's fetch hand-off and the MM7 documents; never the VASP-facing server.
#pragma once

#include "core/config.h"

struct xgate_message;
// An MMS_MMSRCV_IND from the kernel module (or a fetched message from turbo mode): starts the
// delivery of the PDU to the VASP, or drops it with a log line.
void HandleXgateMmsRcvInd(const xgate_message& indication, server_config& config);

// Describes the delivery side's metrics (tries by outcome, the spool's depth, drops).
void mm7_delivery_metrics_init();
