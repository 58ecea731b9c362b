#pragma once

#include <windows.h>

// The Send action of the crash dialog: packs the game's log with the crash summary and uploads it
// to ReportUrl, telling the player the outcome. Returns when the upload is over.
void SendCrashReport(HWND dialog);

// Winsock's start-up, replaceable so that tests can make it fail.
// (WSAData is declared, not included: <winsock2.h> must not follow <windows.h> in the includers.)
struct WSAData;
using NetworkStarter = int(WINAPI*)(WORD version, WSAData* data);
extern NetworkStarter StartNetwork;
