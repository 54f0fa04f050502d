// korvex's recordings: a file per printer, its header, and the printer's connection wrapped so
// that every event of its conversation becomes a line.
#include "cli/recording.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "cli/console.h"
#include "device/recording_format.h"
#include "device/recording_transport.h"
#include "korvex_version.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// The file open for writing; its name is UTF-8 on every system.
std::FILE *OpenForWriting(const std::string &path) {
#ifdef _WIN32
  const int units = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  if (units <= 0) return nullptr;
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], units);
  // Binary: the lines end with LF alone on every system, so that recordings compare.
  return _wfopen(wide.c_str(), L"wb");
#else
  return std::fopen(path.c_str(), "wb");
#endif
}

// One printer's recording file. Lines are written as they come and flushed, so that a run that
// is killed leaves everything before it readable.
class PrinterRecording : public ConversationLog {
 public:
  PrinterRecording(const RecordedPrinter &printer, std::string path, std::FILE *file, bool redact)
      : printer_(printer), path_(std::move(path)), file_(file), redact_(redact) {}
  ~PrinterRecording() override {
    if (file_) std::fclose(file_);
  }

  const RecordedPrinter &printer() const { return printer_; }

  // The header, once, with what the connection knows of the printer when it is first opened.
  void Begin(const PrinterConnection &connection) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (begun_) return;
    begun_ = true;
    RecordingHeader header;
    header.korvexVersion = KORVEX_PRODUCT_VERSION_TEXT;
    header.way = printer_.way;
    header.id = printer_.id;
    header.deviceId = Utf8(connection.deviceId);
    header.vendorId = printer_.vendorId;
    header.productId = printer_.productId;
    header.serial = printer_.serial;
    header.interfaceProtocol = printer_.interfaceProtocol;
    header.protocolFamily = connection.protocolFamily;
    header.redacted = redact_;
    if (redact_) {
      std::vector<unsigned char> id(header.id.begin(), header.id.end());
      RedactBytes(&id, header.serial);
      header.id.assign(id.begin(), id.end());
      header.serial = SerialStandIn(header.serial);
    }
    Write(RecordingHeaderLine(header));
  }

  void Record(const ConversationEvent &event) override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (redact_ && event.kind == ConversationEvent::Kind::Read) {
      ConversationEvent redacted = event;
      RedactBytes(&redacted.bytes, printer_.serial);
      Write(RecordingEventLine(redacted));
      return;
    }
    Write(RecordingEventLine(event));
  }

 private:
  void Write(const std::string &line) {
    if (!file_) return;
    const bool written = std::fwrite(line.data(), 1, line.size(), file_) == line.size() &&
                         std::fputc('\n', file_) != EOF && std::fflush(file_) == 0;
    if (!written && !failed_) {
      // Said once; the printer's operation goes on, which matters more than its recording.
      failed_ = true;
      Err("korvex: warning: cannot write the recording " + path_ + ": " +
          std::strerror(errno) + "; it ends here\n");
    }
  }

  RecordedPrinter printer_;
  std::string path_;
  std::FILE *file_;
  bool redact_;
  std::mutex mutex_;
  bool begun_ = false;
  bool failed_ = false;
};

// The same printer: the same id, or found again at the same port with the same serial number
// (after a restart usblp may give it another lpN).
bool SamePrinter(const RecordedPrinter &a, const RecordedPrinter &b) {
  return a.id == b.id || (!a.port.empty() && a.port == b.port && a.serial == b.serial);
}

struct Plan {
  std::mutex mutex;
  std::string file;
  bool redact = false;
  std::vector<std::shared_ptr<PrinterRecording>> recordings;
};

Plan &ThePlan() {
  static Plan plan;
  return plan;
}

// The conversation of a connection goes to its printer's recording, which the transport keeps
// alive for as long as it is used.
class RecordedTransport : public RecordingTransport {
 public:
  RecordedTransport(std::unique_ptr<PrinterTransport> inner,
                    std::shared_ptr<PrinterRecording> recording)
      : RecordingTransport(std::move(inner), recording.get()), recording_(std::move(recording)) {}
  ~RecordedTransport() override = default;

 private:
  std::shared_ptr<PrinterRecording> recording_;
};

}  // namespace

void PlanRecordings(const std::string &file, bool redact) {
  Plan &plan = ThePlan();
  std::lock_guard<std::mutex> hold(plan.mutex);
  plan.file = file;
  plan.redact = redact;
}

std::string RecordingFileOf(const std::string &file, const std::string &id, bool several) {
  if (!several) return file;
  std::string name;
  for (char c : id) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    name.push_back(plain ? c : '_');
  }
  // The extension is what follows the last '.' of the file's own name, not of a folder's.
  const size_t slash = file.find_last_of("/\\");
  const size_t dot = file.rfind('.');
  const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return extension ? file.substr(0, dot) + "." + name + file.substr(dot)
                   : file + "." + name;
}

bool OpenRecordings(const std::vector<RecordedPrinter> &printers) {
  Plan &plan = ThePlan();
  std::lock_guard<std::mutex> hold(plan.mutex);
  if (plan.file.empty()) return true;
  const bool several = printers.size() > 1;
  for (const RecordedPrinter &printer : printers) {
    const std::string path = RecordingFileOf(plan.file, printer.id, several);
    std::FILE *file = OpenForWriting(path);
    if (!file) {
      Err("korvex: cannot write the recording " + path + ": " + std::strerror(errno) +
          "; no printer was touched\n");
      plan.recordings.clear();
      return false;
    }
    plan.recordings.push_back(
        std::make_shared<PrinterRecording>(printer, path, file, plan.redact));
  }
  return true;
}

std::unique_ptr<PrinterTransport> Recorded(const RecordedPrinter &printer,
                                           const PrinterConnection &connection,
                                           std::unique_ptr<PrinterTransport> transport) {
  std::shared_ptr<PrinterRecording> recording;
  {
    Plan &plan = ThePlan();
    std::lock_guard<std::mutex> hold(plan.mutex);
    for (const std::shared_ptr<PrinterRecording> &each : plan.recordings) {
      if (SamePrinter(each->printer(), printer)) {
        recording = each;
        break;
      }
    }
  }
  if (!recording) return transport;
  recording->Begin(connection);
  return std::unique_ptr<PrinterTransport>(
      new RecordedTransport(std::move(transport), std::move(recording)));
}
