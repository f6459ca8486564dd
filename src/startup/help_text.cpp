#include "startup/help_text.h"

#include "version.h"

// Every line ends with CR LF; the note adds one more line break after the last. The text
// holds no per-cent sign, so it passes through the formatter unchanged.
const WCHAR HelpText[] = TEXT(
    "\r\n"
    "Sorvanel " SORVANEL_VERSION_TEXT "\r\n"
    "\r\n"
    "Flushes file buffers on fixed/removable/remote volumes\r\n"
    "(Administrator/operator rights are required).\r\n"
    "\r\n"
    "Command line:\r\n"
    "[<options>] [<actions>] [<volumes>]\r\n"
    "\r\n"
    "Options:\r\n"
    "-v - verbose\r\n"
    "\r\n"
    "Actions:\r\n"
    "-i - install as a service (.ini file can be used)\r\n"
    "-r - remove the service\r\n"
    "-f - force the service to perform the immediate flush\r\n"
    "\r\n"
    "Volumes:\r\n"
    "A list of volume name/path templates (\"?\" and \"*\" wildcards allowed)\r\n");
