#pragma once

#include <windows.h>

#include "http/net.h"

// The Send action of the crash dialog: packs the game's log with the crash summary and uploads it
// to ReportUrl, telling the player the outcome. Returns when the upload is over.
void SendCrashReport(HWND dialog);

// The transport the Send action starts the network with; tests put in one whose start fails.
// Null puts back the default (Winsock 2.2).
void SetReportTransport(NetTransport* transport);
