#include "dialog/send_crash_report.h"

#include <cstdio>

#include "dialog/dialog_ids.h"
#include "dialog/player_text.h"
#include "report/report_pipeline.h"

namespace {

NetTransport defaultTransport;
NetTransport* reportTransport = &defaultTransport;

unsigned ReadConfVersion(char* buffer, unsigned size) {
  // The leading ".\" keeps the lookup in the current directory, not the Windows folder.
  return GetPrivateProfileStringA("SYSTEM", "VERSION", "", buffer, size, ".\\conf.ini");
}

// The status line and the one message box of the Send action.
class DialogReportObserver final : public ReportObserver {
 public:
  explicit DialogReportObserver(HWND dialog) : dialog_(dialog) {}

  void OnExtracting() override {
    status_ = GetDlgItem(dialog_, IDC_STATUS);
    SetStatus("正在提取游戏记录。");
  }
  void OnSubmitting() override { SetStatus("正在提交信息，请稍候。"); }
  void OnNetworkStartFailed(int code) override {
    char message[256];
    std::snprintf(message, sizeof message, "初始化网络失败，错误号：0x%x", code);
    ShowBox(message, "警告");
  }
  void OnOpenUrlFailed(int code) override {
    ShowCodeBox("提交信息时打开网址失败，错误号：%d", code);
  }
  void OnAddFileFailed(int code) override {
    ShowCodeBox("提交信息时添加提交信息失败，错误号：%d", code);
  }
  void OnAnswered(int statusCode) override {
    if (IsDeliveredStatus(statusCode)) {
      SetStatus("提交完成。");
      ShowBox("提交完成，点击确定关闭程序。", "信息");
    } else {
      ShowCodeBox("提交信息时返回错误信息，错误号：%d", statusCode);
    }
  }
  void OnFinished() override { SetStatus("提交完成。"); }

 private:
  void SetStatus(const char* text) {
    if (status_ != nullptr) SetWindowTextW(status_, PlayerText(text));
  }
  void ShowBox(const char* text, const char* caption) {
    MessageBoxW(dialog_, PlayerText(text), PlayerText(caption), MB_OK);
  }
  void ShowCodeBox(const char* format, int code) {
    char message[256];
    std::snprintf(message, sizeof message, format, code);
    ShowBox(message, "警告");
  }

  HWND dialog_;
  HWND status_ = nullptr;
};

}  // namespace

void SetReportTransport(NetTransport* transport) {
  reportTransport = transport != nullptr ? transport : &defaultTransport;
}

void SendCrashReport(HWND dialog, const CrashRecord& crash) {
  DialogReportObserver observer(dialog);
  ReportInputs inputs;
  inputs.readConfVersion = ReadConfVersion;
  SubmitReport(crash, inputs, *reportTransport, observer);
}
