#include <windows.h>

#include "driver/entry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return run_entry_point(); }
