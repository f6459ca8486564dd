// The program's version, written once: the help banner, the Windows version resource and the
// release script all take it from here. Plain macros only, so that the resource compiler and
// a shell script can read this file as well as the C++ compiler.
#pragma once

#define SORVANEL_VERSION_MAJOR 1
#define SORVANEL_VERSION_MINOR 5
#define SORVANEL_VERSION_PATCH 2
#define SORVANEL_VERSION_BUILD 300
#define SORVANEL_VERSION_TEXT "1.5.2.300"
