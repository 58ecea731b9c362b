// A game library that meets a fatal error late in the process's termination: loaded before
// VexoCrashRpt.dll, it is detached after it, and once armed its detach hands an access violation
// to the unhandled-exception filter, as a C runtime's fatal-error path does. (A plain fault in a
// DllMain never reaches the filter under Wine: the loader catches it.)
#include <windows.h>

namespace {

volatile bool armed = false;

void ReportLateFault() {
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(&ReportLateFault);
  CONTEXT context = {};
  RtlCaptureContext(&context);
  EXCEPTION_POINTERS pointers = {&record, &context};
  UnhandledExceptionFilter(&pointers);
}

}  // namespace

extern "C" __declspec(dllexport) void __cdecl ArmLateFault() { armed = true; }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH && armed) ReportLateFault();
  return TRUE;
}
