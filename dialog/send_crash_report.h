#pragma once

#include <windows.h>

#include "http/net.h"
#include "report/crash_record.h"

// The Send action of the crash dialog: packs the game's log with the crash's summary (and its
// stack and dump) and uploads it to the crash's URL, telling the player the outcome. Returns when
// the upload is over.
void SendCrashReport(HWND dialog, const CrashRecord& crash);

// The transport the Send action starts the network with; tests put in one whose start fails.
// Null puts back the default (Winsock 2.2).
void SetReportTransport(NetTransport* transport);
