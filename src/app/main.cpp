// The program's wide console entry.
#include "app/startup.h"

extern "C" int wmain(int argc, wchar16** argv) { return startup_entry(argc, argv); }
