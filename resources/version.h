// The installer's own version, shared by the version resource (what the
// file's properties and the administrator prompt show) and the install
// log's "Version:" line, so that the two cannot drift apart. Plain macros:
// the resource compiler reads this file too.
#ifndef KAVIMOR_RESOURCES_VERSION_H
#define KAVIMOR_RESOURCES_VERSION_H

#define KAVIMOR_VERSION_NUMBERS 9, 5, 9, 1
#define KAVIMOR_VERSION_TEXT "9.5.9.1"

#endif
