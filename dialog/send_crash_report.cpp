// The HTTP client brings in <winsock2.h>, which must come before <windows.h>.
#include "http/http_post_request.h"

#include "dialog/send_crash_report.h"

#include <share.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/shared_buffers.h"
#include "common/text_helpers.h"
#include "dialog/dialog_ids.h"
#include "pack/pak_archive.h"

NetworkStarter StartNetwork = WSAStartup;

namespace {

struct Version {
  int major = 0;
  int minor = 0;
  int patch = 0;
  bool IsZero() const { return major == 0 && minor == 0 && patch == 0; }
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Other programs (the game, its launcher) may hold these files open while we read them.
FILE* OpenShared(const char* name) { return _fsopen(name, "rb", _SH_DENYNO); }

long FileLength(FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  long length = std::ftell(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
  return length;
}

// ver.csv: the first digits after the first line feed give major, minor and patch. Each
// component is read from the first digit after the end of the previous number, so that a
// multi-digit number is never read again from its own tail.
Version VersionFromCsv() {
  Version version;
  FILE* file = OpenShared("ver.csv");
  if (file == nullptr) return version;
  char text[4096];
  long length = FileLength(file);
  size_t wanted = length > 4095 ? 4095 : static_cast<size_t>(length > 0 ? length : 0);
  bool ok = length > 0 && std::fread(text, 1, wanted, file) == wanted;
  std::fclose(file);
  if (!ok) return version;
  text[wanted] = '\0';

  const char* p = std::strchr(text, '\n');
  if (p == nullptr) return version;
  int* components[3] = {&version.major, &version.minor, &version.patch};
  for (int* component : components) {
    while (*p != '\0' && !IsDigit(*p)) ++p;
    if (*p == '\0') break;
    const char* end = p;
    *component = ParseLenientInt(p, 0, &end);
    p = end;
  }
  return version;
}

Version VersionFromConfIni() {
  Version version;
  char text[256];
  if (GetPrivateProfileStringA("SYSTEM", "VERSION", "", text, 255, ".\\conf.ini") == 0) {
    return {1, 0, 0};
  }
  text[255] = '\0';
  const char* p = text;
  int* components[3] = {&version.major, &version.minor, &version.patch};
  for (int* component : components) {
    if (p == nullptr || *p == '\0') break;
    *component = ParseLenientInt(p, 0);
    p = std::strchr(p, '.');
    if (p != nullptr) ++p;
  }
  if (version.IsZero()) return {1, 0, 0};
  return version;
}

// The log file, a line break and the crash summary, as one heap block; null when there is
// nothing at all to send. The length is the real byte count: the game's log may hold NUL bytes.
char* BuildLogText(size_t summaryLength, size_t* logLength) {
  *logLength = 0;
  char* text = nullptr;
  FILE* file = OpenShared("log.txt");
  if (file != nullptr) {
    long length = FileLength(file);
    if (length > 0) {
      size_t fileLength = static_cast<size_t>(length);
      text = new (std::nothrow) char[fileLength + summaryLength + 256];
      if (text != nullptr) {
        if (std::fread(text, 1, fileLength, file) == fileLength) {
          std::memcpy(text + fileLength, "\r\n", 2);
          std::memcpy(text + fileLength + 2, CrashSummary, summaryLength + 1);
          *logLength = fileLength + 2 + summaryLength;
        } else {
          delete[] text;
          text = nullptr;
        }
      }
    }
    std::fclose(file);
  }
  if (text == nullptr && summaryLength > 0) {
    // "log.txt读取失败" followed by CR LF: the log could not be read.
    static const char kFallback[] = "log.txt读取失败\r\n";
    const size_t fallbackLength = sizeof(kFallback) - 1;
    text = new (std::nothrow) char[summaryLength + 256];
    if (text != nullptr) {
      std::memcpy(text, kFallback, fallbackLength);
      std::memcpy(text + fallbackLength, CrashSummary, summaryLength + 1);
      *logLength = fallbackLength + summaryLength;
    }
  }
  return text;
}

void ShowBox(HWND dialog, const char* text, const char* caption) {
  MessageBoxA(dialog, text, caption, MB_OK);
}

void ShowCodeBox(HWND dialog, const char* format, int code) {
  char message[256];
  std::snprintf(message, sizeof message, format, code);
  ShowBox(dialog, message, "警告");
}

// Opens the connection, adds the version and the packed log, and sends. Shows exactly one box.
void Upload(HWND dialog, HWND status, const Version& version, const char* logText,
            size_t logLength) {
  auto request = std::make_unique<HttpPostRequest>();
  int code = request->OpenUrl(ReportUrl, 2);
  if (code != 0) {
    ShowCodeBox(dialog, "提交信息时打开网址失败，错误号：%d", code);
    return;
  }
  char versionText[12];
  std::snprintf(versionText, 10, "%d.%d.%d", version.major, version.minor, version.patch);
  versionText[9] = '\0';
  request->AddFormField("ver", versionText);

  // The archive owns the image; it must outlive the upload.
  auto archive = std::make_unique<PakArchive>();
  const char* payload = logText;
  uint32_t payloadLength = static_cast<uint32_t>(logLength);
  if (archive->AddEntry("log.txt", reinterpret_cast<const unsigned char*>(logText),
                        payloadLength) == 0) {
    uint32_t imageSize = 0;
    const unsigned char* image = archive->Build(&imageSize);
    if (image != nullptr && imageSize > 0) {
      payload = reinterpret_cast<const char*>(image);
      payloadLength = imageSize;
    }
  }
  code = request->AddFile("file", "log.pak", payload, payloadLength);
  if (code != 0) {
    ShowCodeBox(dialog, "提交信息时添加提交信息失败，错误号：%d", code);
    return;
  }
  request->SendAndClose();
  const int statusCode = request->statusCode;
  if (statusCode / 100 == 2) {
    if (status != nullptr) SetWindowTextA(status, "提交完成。");
    ShowBox(dialog, "提交完成，点击确定关闭程序。", "信息");
  } else {
    ShowCodeBox(dialog, "提交信息时返回错误信息，错误号：%d", statusCode);
  }
}

}  // namespace

void SendCrashReport(HWND dialog) {
  if (!IsUsableReportUrl(ReportUrl)) return;

  const size_t summaryLength = std::strlen(CrashSummary);
  HWND status = GetDlgItem(dialog, IDC_STATUS);
  if (status != nullptr) SetWindowTextA(status, "正在提取游戏记录。");

  Version version = VersionFromCsv();
  if (version.IsZero()) version = VersionFromConfIni();

  size_t logLength = 0;
  std::unique_ptr<char[]> logText(BuildLogText(summaryLength, &logLength));
  if (logText != nullptr && logLength > 0) {
    if (status != nullptr) SetWindowTextA(status, "正在提交信息，请稍候。");
    WSADATA wsaData;
    const int startup = StartNetwork(MAKEWORD(2, 2), &wsaData);
    if (startup != 0) {
      // A failed WSAStartup leaves WSAGetLastError meaningless; its own result is the reason.
      char message[256];
      std::snprintf(message, sizeof message, "初始化网络失败，错误号：0x%x", startup);
      ShowBox(dialog, message, "警告");
    } else {
      try {
        Upload(dialog, status, version, logText.get(), logLength);
      } catch (const std::bad_alloc&) {
        // Out of memory while building the request: the report was not sent, and the crash
        // path must not die of it. Same words as any failed exchange.
        ShowCodeBox(dialog, "提交信息时返回错误信息，错误号：%d", 0);
      }
      WSACleanup();
    }
  }
  logText.reset();
  if (status != nullptr) SetWindowTextA(status, "提交完成。");
}
