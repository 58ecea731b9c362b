#pragma once

// Shared by the resource script and the code, so plain macros only.
#define IDD_CRASH 4000
#define IDC_SEND 4001
#define IDC_DONT_SEND 4002
#define IDC_STATUS 4003
#define IDC_SEPARATOR 4004
#define IDC_NOTICE 4005
#define IDC_RESTART 4006
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
