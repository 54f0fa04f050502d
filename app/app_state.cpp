// The application state record and display scaling.
#include "app/app_state.h"

AppState app;

int ReadScreenDpi() {
  HDC screen = GetDC(nullptr);
  if (screen) {
    app.screenDpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
  } else {
    app.screenDpi = 96;
  }
  return 0;
}

int ScaleForDpi(int value) { return value * app.screenDpi / 96; }
