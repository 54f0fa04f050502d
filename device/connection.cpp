// One printer's connection.
#include "device/connection.h"

#include "device/operation_sink.h"
#include "tables/tables.h"

const wchar_t *UiText(const PrinterConnection &connection, int k) {
  return UiTextIn(connection.sink->Language(), k);
}
