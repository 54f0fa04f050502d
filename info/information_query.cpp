// The information query.
#include "info/information_query.h"

wchar_t infoText[1024];

int StartInformationQuery() { return 0; }
