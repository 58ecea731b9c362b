#include "capture/stack_capture.h"

#include <cstring>
#include <ctime>

#include "report/minidump_writer.h"
#include "report/stack_trace.h"

namespace {

// How far above the stack pointer the scan looks: 64 frames rarely need more, and a deep
// recursion's stack is mostly the same frame over and over.
constexpr DWORD kMaxScanBytes = 256u << 10;
// The dump's room: the crashing thread's stack and 40 other threads' whole bounds, with the
// lists; the writer cuts other threads' stacks first when a game has more.
constexpr std::size_t kDumpCapacity = 3u << 20;
constexpr std::size_t kMaxDumpThreads = 256;

// The whole capture lives here, not on the crash thread's stack.
StackCapture capture;
MinidumpThread threads[kMaxDumpThreads];
HANDLE threadHandles[kMaxDumpThreads];

// Module names are in the ANSI code page, as the capture read them.
std::size_t WidenName(const char* name, uint16_t* out, std::size_t capacity) {
  const int written = MultiByteToWideChar(CP_ACP, 0, name, -1, reinterpret_cast<wchar_t*>(out),
                                          static_cast<int>(capacity));
  return written > 0 ? static_cast<std::size_t>(written - 1) : 0;
}

void WriteStackTrace(ProcessMemory& memory, const CrashSite& site, CrashRecord& crash) {
  const CONTEXT& context = site.context;
  capture.exceptionCode = site.record.ExceptionCode;
  capture.exceptionAddress = reinterpret_cast<uint32_t>(site.record.ExceptionAddress);
  capture.threadId = site.threadId;
  capture.registers = {context.Eax, context.Ebx, context.Ecx, context.Edx, context.Esi,
                       context.Edi, context.Ebp, context.Esp, context.Eip, context.EFlags};
  uint32_t top = site.stackBase;
  if (top <= context.Esp || top - context.Esp > kMaxScanBytes) top = context.Esp + kMaxScanBytes;
  WalkStack(capture, top, memory);
  FormatStackTrace(capture, crash.stackTrace, sizeof crash.stackTrace);
}

void WriteDump(ProcessMemory& memory, DWORD processId, DWORD callerThreadId,
               const CrashSite& site, CrashRecord& crash) {
  const std::size_t count = SuspendAndReadThreads(memory, processId, callerThreadId, threads,
                                                  threadHandles, kMaxDumpThreads - 1);
  // The crashed thread is recorded as it faulted, not as it waits now.
  std::size_t crashed = count;
  for (std::size_t i = 0; i < count; ++i) {
    if (threads[i].id == site.threadId) crashed = i;
  }
  const std::size_t listed = crashed == count ? count + 1 : count;
  MinidumpThread& thread = threads[crashed];
  if (crashed == count) {
    std::memset(&thread, 0, sizeof thread);
    thread.id = site.threadId;
  }
  StoreContext(site.context, thread.context);
  if (site.stackBase != 0) thread.stackTop = site.stackBase;

  MinidumpInput input = {};
  input.processId = processId;
  input.timeDateStamp = static_cast<uint32_t>(std::time(nullptr));
  input.crashThreadId = site.threadId;
  input.exceptionCode = site.record.ExceptionCode;
  input.exceptionFlags = site.record.ExceptionFlags;
  input.exceptionRecordAddress = reinterpret_cast<uint32_t>(site.record.ExceptionRecord);
  input.exceptionAddress = reinterpret_cast<uint32_t>(site.record.ExceptionAddress);
  input.exceptionParameterCount = site.record.NumberParameters > 15 ? 15
                                                                     : site.record.NumberParameters;
  for (uint32_t i = 0; i < input.exceptionParameterCount; ++i) {
    input.exceptionParameters[i] = site.record.ExceptionInformation[i];
  }
  input.exceptionContext = thread.context;
  input.threads = threads;
  input.threadCount = listed;
  input.modules = capture.modules;
  input.moduleCount = capture.moduleCount;
  ReadSystem(input.system);
  input.widenName = WidenName;

  void* buffer = VirtualAlloc(nullptr, kDumpCapacity, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (buffer != nullptr) {
    const std::size_t size =
        WriteMinidump(input, memory, static_cast<uint8_t*>(buffer), kDumpCapacity);
    if (size > 0) {
      crash.minidump = static_cast<const uint8_t*>(buffer);
      crash.minidumpSize = size;
    } else {
      VirtualFree(buffer, 0, MEM_RELEASE);
    }
  }
  ResumeThreads(threadHandles, count);
}

}  // namespace

CaptureWants CaptureWanted() {
  return {GetPrivateProfileIntA("INFO", "STACKTRACE", 0, ".\\crashrpt.ini") == 1,
          GetPrivateProfileIntA("INFO", "MINIDUMP", 0, ".\\crashrpt.ini") == 1};
}

void CaptureCrash(ProcessMemory& memory, DWORD processId, DWORD callerThreadId,
                  const CrashSite& site, const char* exeName, CaptureWants wants,
                  CrashRecord& crash) {
  crash.stackTrace[0] = '\0';
  crash.minidump = nullptr;
  crash.minidumpSize = 0;
  if (!wants.stack && !wants.minidump) return;
  capture.moduleCount = ReadModules(memory, exeName, capture.modules, kMaxStackModules);
  if (wants.stack) WriteStackTrace(memory, site, crash);
  if (wants.minidump) WriteDump(memory, processId, callerThreadId, site, crash);
}
