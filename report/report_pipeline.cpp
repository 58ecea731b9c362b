#include "report/report_pipeline.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/text_helpers.h"
#include "http/http_post_request.h"
#include "pack/pak_archive.h"
#include "report/log_text.h"

namespace {

// Opens the connection, adds the version and the packed log, and sends. Ends in exactly one
// observer call.
void Upload(const CrashRecord& crash, const ReportVersion& version, const LogText& log,
            ReportObserver& observer) {
  auto request = std::make_unique<HttpPostRequest>();
  int code = request->OpenUrl(crash.url, kHttpPost);
  if (code != 0) {
    observer.OnOpenUrlFailed(code);
    return;
  }
  char versionText[kVersionTextSize];
  FormatVersionText(version, versionText);
  request->AddFormField("ver", versionText);

  // The archive owns the image; it must outlive the upload.
  auto archive = std::make_unique<PakArchive>();
  const char* payload = log.data();
  uint32_t payloadLength = static_cast<uint32_t>(log.size());
  if (archive->AddEntry("log.txt", reinterpret_cast<const unsigned char*>(log.data()),
                        payloadLength) == 0) {
    // A stack or dump that cannot be added leaves the archive as it would be without it.
    const std::size_t stackLength = strnlen(crash.stackTrace, sizeof crash.stackTrace);
    if (stackLength > 0) {
      archive->AddEntry("stack.txt", reinterpret_cast<const unsigned char*>(crash.stackTrace),
                        static_cast<uint32_t>(stackLength));
    }
    if (crash.minidump != nullptr && crash.minidumpSize > 0) {
      archive->AddEntry("crash.dmp", crash.minidump, static_cast<uint32_t>(crash.minidumpSize));
    }
    uint32_t imageSize = 0;
    const unsigned char* image = archive->Build(&imageSize);
    if (image != nullptr && imageSize > 0) {
      payload = reinterpret_cast<const char*>(image);
      payloadLength = imageSize;
    }
  }
  code = request->AddFile("file", "log.pak", payload, payloadLength);
  if (code != 0) {
    observer.OnAddFileFailed(code);
    return;
  }
  request->SendAndClose();
  observer.OnAnswered(request->statusCode);
}

}  // namespace

void SubmitReport(const CrashRecord& crash, const ReportInputs& inputs, NetTransport& transport,
                  ReportObserver& observer) {
  if (!IsUsableReportUrl(crash.url)) return;
  observer.OnExtracting();

  const std::string folder = inputs.folder;
  const ReportVersion version =
      ReadReportVersion((folder + "ver.csv").c_str(), inputs.readConfVersion);
  {
    const LogText log = LogText::Read((folder + "log.txt").c_str(), crash.summary);
    if (!log.empty()) {
      observer.OnSubmitting();
      const int started = transport.Start();
      if (started != 0) {
        observer.OnNetworkStartFailed(started);
      } else {
        try {
          Upload(crash, version, log, observer);
        } catch (const std::bad_alloc&) {
          // Out of memory while building the request: the report was not sent, and the crash
          // path must not die of it. Told like any failed exchange.
          observer.OnAnswered(0);
        }
        transport.Stop();
      }
    }
  }
  observer.OnFinished();
}
