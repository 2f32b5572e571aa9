#ifndef UPDATER_NXPSERIAL_H
#define UPDATER_NXPSERIAL_H

#include <cstddef>
#include <cstdint>

#include "Cause.h"
#include "aError.h"
#include "aStream.h"

// One flash sector of an LPC17xx part.
struct NXPSector {
    uint32_t start;
    uint32_t size;
    uint32_t sector;
};

// Sectors 0..29 of the LPC17xx flash, closed by a row whose start is
// 0xFFFFFFFF and whose sector number (30) the chip rejects.
extern const NXPSector NXP_LPC17XX_sectors[31];

// Host side of the serial in-system-programming protocol of the LPC17xx ROM
// bootloader. One object per serial port, used by one thread at a time; every
// wait is a sleep on the calling thread, paced by the line rate chosen in
// Connect. Nothing is printed; diagnostics go to Log under DEBUG_NXPSerial,
// DEBUG_NXPSerial_E and DEBUG_NXPSerial_SR. Every aErr result is aErrNone on
// success.
class NXPSerialClass {
public:
    static const char* const ERROR_TEXT[21];
    static constexpr int MAX_ERROR = 20;
    static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz
    static constexpr unsigned int MAX_BYTES_PER_LINE = 45;
    static constexpr unsigned int LINES_PER_CHECKSUM = 20;
    static constexpr unsigned int MAX_READ_RETRY = 3;
    static constexpr unsigned int WRITE_ADDRESS = 0x10001000;
    static constexpr unsigned int TERMINATION_SIZE = 2;
    // The code NXP documents for the ISP "U" command.
    static constexpr unsigned int ISP_UNLOCK_CODE = 23130;

    // Disconnected, echo assumed on.
    NXPSerialClass();
    // Closes the stream if one is open.
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Opens port at the first supported rate not below baud (9600 above
    // 230400), 8N1, closing any stream opened before. Returns the serial
    // stream's open error (aErrNotFound, aErrPermission, aErrIO, ...);
    // aErrParam for a null port.
    aErr Connect(const char* port, unsigned int baud);
    // Closes the stream if open. Always aErrNone.
    aErr Disconnect();

    // Auto-baud handshake and crystal announcement. The error of a missing
    // reply, aErrIO when the first "OK" does not come.
    aErr Sync();
    // Unlocks flash commands. aErrParam when the chip refuses.
    aErr Unlock();
    // Turns the chip's echo on or off; the tracked echo state changes only when
    // the chip accepts. aErrParam when refused.
    aErr SetEcho(bool on);
    // Asks the chip to change its rate (one stop bit). The host port is not
    // switched; Connect again at the new rate. aErrParam when refused.
    aErr SetBaudRate(unsigned int rate);
    // Prepare / erase sectors first..last. aErrParam when first > last
    // (nothing is sent) or the chip refuses.
    aErr Prepare(unsigned int first, unsigned int last);
    aErr Erase(unsigned int first, unsigned int last);
    // Copies length bytes of RAM to flash. aErrParam without sending unless
    // flash is a multiple of 256 and length is 256, 512, 1024 or 4096;
    // aErrParam when the chip refuses.
    aErr CopyToFlash(unsigned int flash, unsigned int ram, unsigned int length);
    // Starts code at address in Thumb mode; no reply is read.
    aErr ExecuteFrom(unsigned int address);
    // Sends count bytes to chip RAM at address in uuencoded lines with a
    // checksum block every 20 lines. aErrParam for a count of 0 or not a
    // multiple of 4 (nothing sent) or a refused command, aErrTimeout after the
    // third RESEND of the call, aErrIO for any other checksum reply.
    aErr Write(unsigned int address, unsigned int count, const unsigned char* data);
    // Reads count bytes of chip memory into out (room for count bytes); expects
    // the chip's echo on. Errors as Write; aErrTimeout also when a data line
    // does not arrive.
    aErr Read(unsigned int address, unsigned int count, unsigned char* out);
    // Replies are not examined: the result is only the command's write error.
    aErr GetBootLoaderVersion(unsigned char& major, unsigned char& minor);
    aErr GetPartNumber(long& part);
    // Fills the four device identification words (DeviceID) in the order read.
    // aErrTimeout when a word line does not arrive (words read so far kept).
    aErr GetDeviceID();

    // The four words of the last GetDeviceID.
    const uint32_t* DeviceID() const { return deviceID; }
    // Why the last failing call failed: the port, the chip's return code
    // ("chip answered 10 (COMPARE_ERROR)") or its silence.
    const Cause& LastCause() const { return cause; }
    bool Echo() const { return echo; }
    uint32_t Baud() const { return baud; }

    // The copy size the bootloader accepts for n bytes: 256, 512, 1024 or
    // 4096; n itself (logged) above 4096.
    static unsigned int CopyLength(unsigned int n);
    // Sector holding address; 30 past the end of flash.
    static unsigned int SectorFromAddress(unsigned int address);
    // Name of the return code that leads line; "Unknown error" outside 0..19.
    static const char* GetErrorText(const char* line);
    static uint32_t sum(const unsigned char* data, unsigned int n);
    // uuencoding character of the low six bits of v; 0 gives a backquote.
    static char uuchar(unsigned int v);
    // Encodes n bytes (count character and groups of four) into out, which
    // needs room for 2 + 4 * ((n + 2) / 3) characters; NUL-terminated, no line
    // end. Returns n.
    static unsigned int uuencode(char* out, const unsigned char* data, unsigned int n);
    // Decodes one line into out, storing at most room bytes. Returns the
    // line's byte count, or 0 (nothing stored) when that exceeds room.
    static unsigned int uudecode(unsigned char* out, unsigned int room, const char* line);

protected:
    aErr Send(const char* text, bool read_echo);
    aErr SendCommand(const char* text, int wait_ms);
    aErr Response(char* buffer, size_t size, unsigned int& count, const char* expected,
                  unsigned int expected_length);
    void GetLine(char* buffer, size_t size, unsigned int& count, unsigned int budget);
    void GetEcho(const char* text, unsigned int n, unsigned int& count);
    // Offset of the return code within a reply line of count bytes: the number
    // just before CR LF when echo is on, else the start of the line.
    uint8_t GetErrorIndex(const char* line, unsigned int count) const;
    // Whether the reply line carries return code 0 (CMD_SUCCESS).
    bool CommandSucceeded(const char* line, unsigned int count) const;
    // The return code of a refusing reply line in words, or the chip's silence.
    Cause RefusalCause(const char* line, unsigned int count) const;

    aStream* stream;
    bool echo;
    uint32_t baud;
    uint32_t deviceID[4];
    // When the bytes written by Send so far will have left the line
    // (aTime_GetUSTicks).
    uint64_t lineFreeUs = 0;
    Cause cause;

private:
    // Sends text and reads its return-code line, giving the reply polls empty
    // reads 1 ms apart (100 unless the command needs longer).
    aErr SimpleCommand(const char* text, bool log_refusal, unsigned int polls = 100);
};

#endif
