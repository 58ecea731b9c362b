#pragma once

// The crash path's static state: written when a crash is reported, read by the dialog and the
// upload. Static so that reporting a crash never needs the heap before the player presses Send.

constexpr unsigned kCrashSummarySize = 65536;
constexpr unsigned kReportUrlSize = 1024;
constexpr unsigned kStackTraceSize = 49152;

// One NUL-terminated GBK text: time, program name and exception lines.
extern char CrashSummary[kCrashSummarySize];
// The POSTURL value of crashrpt.ini, always NUL-terminated.
extern char ReportUrl[kReportUrlSize];
// The crash's stack.txt (ASCII), written at crash time when crashrpt.ini asks for it; empty
// otherwise, and then the upload carries no stack.
extern char StackTrace[kStackTraceSize];

// A report URL is usable when it is longer than "http://" and starts with it, in any case.
bool IsUsableReportUrl(const char* url);
