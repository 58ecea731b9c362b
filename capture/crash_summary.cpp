#include "capture/crash_summary.h"

#include <cstdio>
#include <cstring>

#include "common/text_writer.h"
#include "dialog/crash_dialog.h"
#include "dialog/host_module.h"

std::size_t FormatCrashSummary(char* out, std::size_t size, const SYSTEMTIME& time,
                               const char* modulePath, const EXCEPTION_RECORD* record) {
  TextWriter writer(out, size);
  writer.Line("异常时间：%04d-%02d-%02d %02d:%02d:%02d\r\n\r\n", int{time.wYear}, int{time.wMonth},
              int{time.wDay}, int{time.wHour}, int{time.wMinute}, int{time.wSecond});
  if (modulePath != nullptr) writer.Line("程序名称：%s\r\n\r\n", HostBaseName(modulePath));
  if (record != nullptr) {
    // The address is widened with sign extension, as the 64-bit conversion of the original does:
    // addresses from 0x80000000 up print with eight leading f digits.
    const long long address = reinterpret_cast<LONG_PTR>(record->ExceptionAddress);
    writer.Line("异常编号：0x%08x\r\n", static_cast<unsigned>(record->ExceptionCode));
    writer.Line("异常地址：0x%llx\r\n", static_cast<unsigned long long>(address));
    writer.Line("异常分类：%d\r\n", static_cast<int>(record->ExceptionFlags));
  } else {
    writer.Line("未知的错误信息！\r\n");
  }
  return writer.used();
}

namespace {

CrashRecord crashRecord;

}  // namespace

CrashRecord& TheCrash() { return crashRecord; }

void FillCrashRecord(CrashRecord& crash, const EXCEPTION_RECORD* record, const char* hostPath,
                     const wchar_t* hostPathW) {
  std::memset(crash.url, 0, sizeof crash.url);
  GetPrivateProfileStringA("INFO", "POSTURL", "", crash.url, sizeof crash.url - 1,
                           ".\\crashrpt.ini");
  SYSTEMTIME now;
  GetLocalTime(&now);
  FormatCrashSummary(crash.summary, sizeof crash.summary, now, hostPath, record);
  std::memset(crash.hostPath, 0, sizeof crash.hostPath);
  if (hostPathW != nullptr) {
    lstrcpynW(reinterpret_cast<wchar_t*>(crash.hostPath), hostPathW, kCrashHostPathChars);
  }
}

int ReportCrash(HINSTANCE instance, EXCEPTION_POINTERS* pointers, void (*onShown)()) {
  char modulePath[kHostPathSize];
  wchar_t modulePathW[kHostWidePathSize];
  const bool haveModule = ReadHostModulePath(modulePath) && ReadHostModulePathW(modulePathW);
  FillCrashRecord(crashRecord, pointers != nullptr ? pointers->ExceptionRecord : nullptr,
                  haveModule ? modulePath : nullptr, haveModule ? modulePathW : nullptr);
  RunCrashDialog(instance, crashRecord, onShown);
  return 0;
}
