// placeholder until the window lands
#include <windows.h>
#include "platform/win32_platform.h"
#include "window/form2.h"
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
