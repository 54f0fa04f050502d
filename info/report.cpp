// The report actions.
#include "info/report.h"

void OpenReport() {}
void CopyReport() {}
void SaveReport() {}
