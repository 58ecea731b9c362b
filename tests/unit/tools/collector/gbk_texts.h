#pragma once

#include <string>

// The crash summary's GBK texts as explicit bytes.
namespace collector_test {

// "异常时间：" (exception time)
inline const std::string kTimeLabel = "\xD2\xEC\xB3\xA3\xCA\xB1\xBC\xE4\xA3\xBA";
// "程序名称：" (program name)
inline const std::string kProgramLabel = "\xB3\xCC\xD0\xF2\xC3\xFB\xB3\xC6\xA3\xBA";
// "异常编号：" (exception code)
inline const std::string kCodeLabel = "\xD2\xEC\xB3\xA3\xB1\xE0\xBA\xC5\xA3\xBA";
// "异常地址：" (exception address)
inline const std::string kAddressLabel = "\xD2\xEC\xB3\xA3\xB5\xD8\xD6\xB7\xA3\xBA";
// "异常分类：" (exception category)
inline const std::string kFlagsLabel = "\xD2\xEC\xB3\xA3\xB7\xD6\xC0\xE0\xA3\xBA";
// "未知的错误信息！" (unknown error information!)
inline const std::string kUnknownLine =
    "\xCE\xB4\xD6\xAA\xB5\xC4\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xA1";
// "游戏" (game), a program name that is not ASCII
inline const std::string kGameGbk = "\xD3\xCE\xCF\xB7";

// A whole summary as the crash library writes it after an exception.
inline std::string SummaryFor(const std::string& program, const std::string& code,
                              const std::string& address,
                              const std::string& time = "2021-03-02 04:05:06") {
  return kTimeLabel + time + "\r\n\r\n" + kProgramLabel + program + "\r\n\r\n" + kCodeLabel + code +
         "\r\n" + kAddressLabel + address + "\r\n" + kFlagsLabel + "0\r\n";
}

// The summary without an exception record (the test-send path).
inline std::string UnknownSummary(const std::string& program) {
  return kTimeLabel + "2021-03-02 04:05:06\r\n\r\n" + kProgramLabel + program + "\r\n\r\n" +
         kUnknownLine + "\r\n";
}

}  // namespace collector_test
