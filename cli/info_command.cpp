// korvex info: the whole information query, as the seven-line text the window program copies,
// or as JSON with a field each (null with the reason where it could not be read).
#include <nlohmann/json.hpp>

#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/console_sink.h"
#include "cli/english_texts.h"
#include "cli/printers.h"
#include "info/information_query.h"
#include "tables/tables.h"

namespace {

constexpr int kModelStep = 0, kFirmwareStep = 1, kProductCodeStep = 2, kMacStep = 3,
              kMemoryStep = 4, kVersionStep = 5;

const char *Reason(StepResult result) {
  switch (result) {
    case StepResult::NotAsked: return "not asked: an earlier question was not answered";
    case StepResult::NoAnswer: return "the printer did not answer";
    case StepResult::Unusable: return "the printer's answer holds no usable value";
    case StepResult::Read: return "";
  }
  return "";
}

// The field's value, or null with the reason in errors.
nlohmann::json Field(const char *name, const wchar_t *value, StepResult result,
                     nlohmann::json *errors) {
  if (result == StepResult::Read) return Utf8(value);
  (*errors)[name] = Reason(result);
  return nullptr;
}

nlohmann::json Report(const FoundPrinter &printer, const PrinterConnection &connection,
                      const InformationQueryResult &result) {
  nlohmann::json errors = nlohmann::json::object();
  const StepResult *steps = result.steps;
  const InformationFields &f = connection.fields;
  nlohmann::json out = {
      {"id", printer.id},
      {"serial", printer.serial},
      {"device_path", printer.devicePath},
      {"vendor_id", printer.vendorId},
      {"product_id", printer.productId},
      {"display_name", Utf8(connection.displayName)},
      {"protocol_family", connection.protocolFamily},
  };
  out["model_code"] = Field("model_code", f.modelCode, steps[kModelStep], &errors);
  out["firmware_version"] =
      Field("firmware_version", f.firmwareVersion, steps[kFirmwareStep], &errors);
  out["product_code"] = Field("product_code", f.productCode, steps[kProductCodeStep], &errors);
  out["mac_address"] = Field("mac_address", f.macAddress, steps[kMacStep], &errors);
  out["memory_mb"] = Field("memory_mb", f.memorySize, steps[kMemoryStep], &errors);
  if (steps[kMemoryStep] == StepResult::Read) out["memory_mb"] = std::stoul(Utf8(f.memorySize));
  out["version_text"] = Field("version_text", f.versionText, steps[kVersionStep], &errors);
  if (result.deviceCodeComputed) {
    out["device_code"] = Utf8(f.deviceCode);
  } else {
    out["device_code"] = nullptr;
    errors["device_code"] = result.failures ? "not computed: a question failed"
                                            : "the system's MD5 could not be used";
  }
  out["errors"] = errors;
  out["report"] = Utf8(f.infoText);
  return out;
}

}  // namespace

int RunInfo(const std::string &wanted, bool json) {
  ConsoleSink sink;
  int exitCode = kExitDone;
  const std::unique_ptr<HeldPrinter> printer = OpenChosenPrinter(wanted, &sink, &exitCode);
  if (!printer) return exitCode;
  PrinterConnection &connection = printer->connection();
  const int refused = PrepareInformationQuery(connection);
  if (refused) {
    sink.Say("error: " + Plain(InternalString(refused == 1 ? 40 : 41)));
    return kExitNothingSent;
  }
  const InformationQueryResult result = AskInformationQuestions(connection);
  if (json) {
    Out(JsonText(Report(printer->found(), connection, result)));
  } else {
    Out(Plain(connection.fields.infoText) + "\n");
  }
  if (result.failures) {
    sink.Say("error: " + Plain(UiText(31)));
    return kExitFailed;
  }
  return kExitDone;
}
