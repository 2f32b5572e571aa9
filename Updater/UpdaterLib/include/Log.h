#ifndef UPDATER_LOG_H
#define UPDATER_LOG_H

#include <cstdio>

// Package bits of the debug log (selected with -X).
#define DEBUG_Updater 0x00000001u
#define DEBUG_History 0x00000002u
#define DEBUG_Attributes 0x00000004u
#define DEBUG_BirdFile 0x00000008u
#define DEBUG_Network_Discovery 0x00000010u
#define DEBUG_ServerComm 0x00000020u
#define DEBUG_Network 0x00000100u
#define DEBUG_Network_SR 0x00000200u
#define DEBUG_Network_FIRM 0x00000400u
#define DEBUG_NXPSerial 0x00001000u
#define DEBUG_NXPSerial_E 0x00002000u
#define DEBUG_NXPSerial_SR 0x00004000u
#define DEBUG_APP 0x00010000u
#define DEBUG_iMXSerial 0x10000000u

// Process-wide debug log filtered by a package bit mask. Package 0 is always
// written. No lock: each call is a single formatted write, so calls from the
// download worker and the main thread may interleave only line by line.
class Log {
public:
    // Writes the formatted text (at most 2047 characters, no newline added)
    // when package is 0 or shares a bit with the active mask.
    static void log(unsigned package, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* fh);
    static void ActivatePackage(unsigned bits);
    static void DeactivatePackage(unsigned bits);
    // True when a line of this package would be written (lets callers skip
    // building expensive dumps).
    static bool IsActive(unsigned package);

    static unsigned package_bitmask;
    static FILE* fh;
};

#endif
