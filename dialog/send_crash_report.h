#pragma once

#include <windows.h>

// The Send action of the crash dialog: packs the game's log with the crash summary and uploads it
// to ReportUrl, telling the player the outcome. Returns when the upload is over.
void SendCrashReport(HWND dialog);
