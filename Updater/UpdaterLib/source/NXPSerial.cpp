#include "NXPSerial.h"

#include <sys/prctl.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "aTime.h"

const char* const NXPSerialClass::ERROR_TEXT[21] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const NXPSector NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},  {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},  {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14}, {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24}, {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29}, {0xFFFFFFFF, 0, 30},
};

namespace {

const unsigned int kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const unsigned int kRateCount = sizeof(kRates) / sizeof(kRates[0]);
// A request above the fastest rate falls back to this index (9600).
const unsigned int kFallbackRateIndex = 2;

const unsigned int kCommandPolls = 100;
// The chip answers an erase only once every sector is blank, about 100 ms a
// sector by the chip maker's manual; the reply's budget covers that with
// room to spare. A chip that answers sooner costs nothing more.
const unsigned int kErasePollsPerSector = 150;
const unsigned int kChecksumPolls = 2000;
const unsigned int kEchoPolls = 100;
// Bytes a reader may drop (stray echo, leading line ends) before it gives up:
// a line spewing noise must not keep a read going for ever.
const unsigned int kMaxStrayBytes = 1024;

// Room for one reply line of the chip, terminator and NUL included.
const size_t kLineSize = 128;

// Time for bytes (9 bit times each) plus two more bytes of slack at the line
// rate, rounded up by one millisecond.
unsigned int WAIT_TIME_MS(unsigned int bytes, unsigned int baud)
{
    if (baud == 0) return 1;
    return static_cast<unsigned int>((static_cast<unsigned long long>(bytes) * 9000ULL + 18000ULL) / baud) +
           1;
}

// Log holds at most 2047 characters per call; long dumps go in pieces.
void LogLong(unsigned package, const std::string& text)
{
    const size_t piece = 1024;
    for (size_t at = 0; at < text.size(); at += piece)
        Log::log(package, "%s", text.substr(at, piece).c_str());
}

std::string Hex(const unsigned char* bytes, size_t n)
{
    std::string out;
    char two[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(two, sizeof two, "%02X", bytes[i]);
        if (i > 0) out += ' ';
        out += two;
    }
    return out;
}

std::string Printable(const unsigned char* bytes, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; i++) out += isprint(bytes[i]) ? static_cast<char>(bytes[i]) : ' ';
    return out;
}

char PrintableChar(unsigned char c)
{
    return isprint(c) ? static_cast<char>(c) : ' ';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

NXPSerialClass::NXPSerialClass() : stream(nullptr), echo(true), baud(0), deviceID{0, 0, 0, 0} {}

NXPSerialClass::~NXPSerialClass()
{
    Disconnect();
}

aErr NXPSerialClass::Connect(const char* port, unsigned int rate)
{
    Disconnect();
    if (port == nullptr) return aErrParam;
    unsigned int index = kFallbackRateIndex;
    for (unsigned int i = 0; i < kRateCount; i++) {
        if (kRates[i] >= rate) {
            index = i;
            break;
        }
    }
    baud = kRates[index];
    // Send paces the line on this thread: without this the kernel may let
    // each of its sleeps run 50 us long, two a line.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port, index, baud);
    aErr err = aStream_CreateSerial(port, index, false, 0, 0, &stream);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port, aError_GetErrorText(err));
        stream = nullptr;
        // The serial stream keeps only the translated open error.
        const char* why = err == aErrNotFound     ? "No such file or directory"
                          : err == aErrPermission ? "Permission denied (is the user in the dialout group?)"
                                                  : "not a usable serial port";
        cause = Cause(err, std::string(port) + ": " + why);
    }
    return err;
}

aErr NXPSerialClass::Disconnect()
{
    if (stream != nullptr) aStream_Destroy(&stream);
    stream = nullptr;
    return aErrNone;
}

// ---------------------------------------------------------------------------
// Byte-level primitives

aErr NXPSerialClass::Send(const char* text, bool read_echo)
{
    size_t len = strlen(text);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    if (Log::IsActive(DEBUG_NXPSerial_SR)) {
        std::string shown;
        for (size_t i = 0; i < len; i++) {
            if (bytes[i] == '\r')
                shown += "\\r";
            else if (bytes[i] == '\n')
                shown += "\\n";
            else
                shown += PrintableChar(bytes[i]);
        }
        LogLong(DEBUG_NXPSerial_SR, "Sending:[" + Hex(bytes, len) + "] [" + shown + "]\n");
    }
    aErr err = aStream_Write(stream, bytes, len);
    // The port takes the bytes at once and sends them at the line rate, ten
    // bits a byte (start, eight data, stop). Waiting until they have left the
    // line, on a clock that carries the fractions from one write to the next,
    // keeps the chip's echo in step without a rounding on every write.
    const uint64_t now = aTime_GetUSTicks();
    if (lineFreeUs < now) lineFreeUs = now;
    if (baud != 0) lineFreeUs += len * 10000000ULL / baud;
    Log::log(DEBUG_NXPSerial_SR, "Send() wait %dms\n", static_cast<int>((lineFreeUs - now) / 1000));
    aTime_USSleep(lineFreeUs - now);
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    if (read_echo && len > 0) {
        unsigned int got = 0;
        GetEcho(text, static_cast<unsigned int>(len - 1), got);
    }
    return err;
}

aErr NXPSerialClass::SendCommand(const char* text, int wait_ms)
{
    size_t len = strlen(text);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    if (Log::IsActive(DEBUG_NXPSerial_SR))
        LogLong(DEBUG_NXPSerial_SR, "Sending:[" + Hex(bytes, len) + "] [" + Printable(bytes, len) + "]\n");
    aErr err = aStream_Write(stream, bytes, len);
    if (wait_ms > 0) {
        Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", wait_ms);
        aTime_MSSleep(static_cast<uint64_t>(wait_ms));
    }
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    if (echo && len > 0) {
        // The echo's final LF stays in the input; the next reply read drops it.
        unsigned int got = 0;
        GetEcho(text, static_cast<unsigned int>(len - 1), got);
        if (got < len - 1)
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", got,
                     static_cast<int>(len));
    }
    if (err != aErrNone) Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
}

void NXPSerialClass::GetEcho(const char* text, unsigned int n, unsigned int& count)
{
    const unsigned char* expected = reinterpret_cast<const unsigned char*>(text);
    count = 0;
    if (Log::IsActive(DEBUG_NXPSerial_E))
        LogLong(DEBUG_NXPSerial_E, "GetEcho([" + Hex(expected, n) + "] " + std::to_string(n) + ", ...)\n");
    Log::log(DEBUG_NXPSerial_E, "recv Echo:[");
    unsigned int budget = kEchoPolls;
    unsigned int stray = 0;
    while (count < n && budget > 0 && stray < kMaxStrayBytes) {
        uint8_t byte = 0;
        if (aStream_Read(stream, &byte, 1) != aErrNone) {
            budget--;
            aTime_MSSleep(1);
            Log::log(DEBUG_NXPSerial_E, ".");
            continue;
        }
        if (byte == expected[count]) {
            count++;
            Log::log(DEBUG_NXPSerial_E, " %02X", byte);
        } else {
            stray++;
            Log::log(DEBUG_NXPSerial_E, " %.2X!=%.2X", byte, expected[count]);
        }
    }
    Log::log(DEBUG_NXPSerial_E, "]\n");
}

void NXPSerialClass::GetLine(char* buffer, size_t size, unsigned int& count, unsigned int budget)
{
    count = 0;
    if (buffer == nullptr || size == 0) return;
    unsigned int matched = 0;  // consecutive bytes of CR LF seen
    aErr last = aErrNone;
    // The NUL stays inside the buffer: at most size - 1 bytes are stored.
    while (matched < TERMINATION_SIZE && count < size - 1 && budget > 0) {
        uint8_t byte = 0;
        last = aStream_Read(stream, &byte, 1);
        if (last != aErrNone) {
            budget--;
            aTime_MSSleep(1);
            Log::log(DEBUG_NXPSerial_E, ".");
            continue;
        }
        if (byte == '\n' && count == 0) {
            // Left over from the echo of the command just sent.
            budget--;
            Log::log(DEBUG_NXPSerial_E, ",");
            continue;
        }
        buffer[count++] = static_cast<char>(byte);
        if (byte == "\r\n"[matched])
            matched++;
        else
            matched = 0;
    }
    buffer[count] = '\0';
    if (Log::IsActive(DEBUG_NXPSerial_SR)) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(buffer);
        LogLong(DEBUG_NXPSerial_SR, "GetLine() Received: [" + Hex(bytes, count) + "] [" +
                                        Printable(bytes, count) + "] " + std::to_string(count) + " " +
                                        (matched == TERMINATION_SIZE ? "term" : "non-term") + " [" +
                                        aError_GetErrorText(last) + "]\n");
    }
}

aErr NXPSerialClass::Response(char* buffer, size_t size, unsigned int& count, const char* expected,
                              unsigned int expected_length)
{
    count = 0;
    if (buffer == nullptr || size == 0) return aErrParam;
    size_t limit = expected != nullptr ? expected_length : size - 1;
    if (limit > size) limit = size;
    unsigned int wait = WAIT_TIME_MS(expected_length, baud) + 20;
    Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", expected_length, baud,
             wait);
    aTime_MSSleep(wait);

    aErr err = aErrNone;
    unsigned int stray = 0;
    while (count < limit && stray < kMaxStrayBytes) {
        if (count >= TERMINATION_SIZE && buffer[count - 2] == '\r' && buffer[count - 1] == '\n') break;
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err != aErrNone) {
            // Everything expected should be here after the initial wait; an
            // empty poll ends the reply.
            Log::log(DEBUG_NXPSerial_E, ".");
            aTime_MSSleep(wait / (limit > 0 ? limit : 1) + 1);
            break;
        }
        if (count == 0 && byte == '\n') {
            stray++;
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
            continue;
        }
        if (count == 0 && byte == '\r') {
            stray++;
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
            continue;
        }
        if (count <= 2 && byte == 0) {
            stray++;
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
            continue;
        }
        if (expected != nullptr && byte != static_cast<uint8_t>(expected[count])) {
            uint8_t want = static_cast<uint8_t>(expected[count]);
            Log::log(
                DEBUG_NXPSerial_E,
                "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
                static_cast<int>(count), byte, PrintableChar(byte), PrintableChar(want), want);
        }
        buffer[count++] = static_cast<char>(byte);
    }
    if (Log::IsActive(DEBUG_NXPSerial_SR)) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(buffer);
        LogLong(DEBUG_NXPSerial_SR,
                "Response: [" + Hex(bytes, count) + "] [" + Printable(bytes, count) + "]\n");
    }
    return err;
}

uint8_t NXPSerialClass::GetErrorIndex(const char* line, unsigned int count) const
{
    if (!echo || count <= TERMINATION_SIZE) return 0;
    // With echo on, what precedes the code on its line is not the chip's
    // reply; the code is the whole number that ends just before CR LF.
    unsigned int index = count - TERMINATION_SIZE - 1;
    if (!IsDigit(line[index])) return static_cast<uint8_t>(index);
    while (index > 0 && IsDigit(line[index - 1])) index--;
    return static_cast<uint8_t>(index);
}

bool NXPSerialClass::CommandSucceeded(const char* line, unsigned int count) const
{
    unsigned int at = GetErrorIndex(line, count);
    unsigned int end = at;
    unsigned long value = 0;
    while (end < count && IsDigit(line[end])) {
        value = value * 10 + static_cast<unsigned long>(line[end] - '0');
        if (value > 1000) value = 1000;  // any large code is a failure
        end++;
    }
    // "10" (COMPARE_ERROR) must not pass because it ends in 0.
    return end > at && value == 0;
}

const char* NXPSerialClass::GetErrorText(const char* line)
{
    long code = line != nullptr ? strtol(line, nullptr, 0) : -1;
    if (code < 0 || code > MAX_ERROR - 1) code = MAX_ERROR;
    return ERROR_TEXT[code];
}

// ---------------------------------------------------------------------------
// Commands

aErr NXPSerialClass::SimpleCommand(const char* text, bool log_refusal, unsigned int polls)
{
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
        return err;
    }
    char line[kLineSize];
    unsigned int count = 0;
    GetLine(line, sizeof line, count, polls);
    if (!CommandSucceeded(line, count)) {
        if (log_refusal)
            Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n",
                     GetErrorText(line + GetErrorIndex(line, count)));
        cause = RefusalCause(line, count);
        return aErrParam;
    }
    return aErrNone;
}

Cause NXPSerialClass::RefusalCause(const char* line, unsigned int count) const
{
    if (count == 0) return Cause(aErrTimeout, "chip did not answer");
    const char* code = line + GetErrorIndex(line, count);
    return Cause(aErrParam, "chip answered " + std::to_string(strtol(code, nullptr, 10)) + " (" +
                                GetErrorText(code) + ")");
}

aErr NXPSerialClass::Sync()
{
    char buffer[1024];
    unsigned int count = 0;
    const char* synchronized = "Synchronized\r\n";
    const char* ok = "OK\r\n";

    Send("?", false);
    memset(buffer, 0, sizeof buffer);
    aErr err = Response(buffer, sizeof buffer, count, synchronized, 14);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial,
                 "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 synchronized, buffer);
        cause = Cause(err, "chip did not answer the synchronisation");
        return err;
    }
    if (strncmp(buffer, synchronized, 14) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", synchronized);

    Send(synchronized, false);
    memset(buffer, 0, sizeof buffer);
    Response(buffer, sizeof buffer, count, synchronized, 13);

    memset(buffer, 0, sizeof buffer);
    err = Response(buffer, sizeof buffer, count, ok, 4);
    bool okMissing = strncmp(buffer, "OK", 2) != 0;
    if (okMissing) Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer, ok);

    char crystal[32];
    snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
    Send(crystal, false);
    memset(buffer, 0, sizeof buffer);
    err = Response(buffer, sizeof buffer, count, crystal, static_cast<unsigned int>(strlen(crystal) - 1));
    memset(buffer, 0, sizeof buffer);
    err = Response(buffer, sizeof buffer, count, ok, 4);
    if (okMissing) cause = Cause(aErrIO, "chip did not confirm the synchronisation");
    return okMissing ? aErrIO : err;
}

aErr NXPSerialClass::Unlock()
{
    char text[32];
    snprintf(text, sizeof text, "U %u\r\n", ISP_UNLOCK_CODE);
    return SimpleCommand(text, false);
}

aErr NXPSerialClass::SetEcho(bool on)
{
    char text[16];
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    snprintf(text, sizeof text, "A %d\r\n", on ? 1 : 0);
    aErr err = SimpleCommand(text, false);
    if (err == aErrNone) echo = on;
    return err;
}

aErr NXPSerialClass::SetBaudRate(unsigned int rate)
{
    char text[48];
    snprintf(text, sizeof text, "B %u %d\r\n", rate, 1);
    return SimpleCommand(text, false);
}

aErr NXPSerialClass::Prepare(unsigned int first, unsigned int last)
{
    if (first > last) return aErrParam;
    char text[48];
    snprintf(text, sizeof text, "P %u %u\r\n", first, last);
    return SimpleCommand(text, true);
}

aErr NXPSerialClass::Erase(unsigned int first, unsigned int last)
{
    if (first > last) return aErrParam;
    char text[48];
    snprintf(text, sizeof text, "E %u %u\r\n", first, last);
    return SimpleCommand(text, true, (last - first + 1) * kErasePollsPerSector);
}

aErr NXPSerialClass::CopyToFlash(unsigned int flash, unsigned int ram, unsigned int length)
{
    if (flash % 256 != 0) return aErrParam;
    if (length != 256 && length != 512 && length != 1024 && length != 4096) return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "C %u %u %u\r\n", flash, ram, length);
    return SimpleCommand(text, true);
}

aErr NXPSerialClass::ExecuteFrom(unsigned int address)
{
    char text[48];
    snprintf(text, sizeof text, "G %u T\r\n", address);
    aErr err = SendCommand(text, 0);
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
    return err;
}

aErr NXPSerialClass::GetBootLoaderVersion(unsigned char& major, unsigned char& minor)
{
    const char* text = "K\r\n";
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
        return err;
    }
    char line[kLineSize];
    unsigned int count = 0;
    GetLine(line, sizeof line, count, kCommandPolls);  // return code, not examined
    GetLine(line, sizeof line, count, kCommandPolls);
    major = static_cast<unsigned char>(strtol(line, nullptr, 0));
    GetLine(line, sizeof line, count, kCommandPolls);
    minor = static_cast<unsigned char>(strtol(line, nullptr, 0));
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", major, minor);
    return err;
}

aErr NXPSerialClass::GetPartNumber(long& part)
{
    const char* text = "J\r\n";
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
        return err;
    }
    char line[kLineSize];
    unsigned int count = 0;
    GetLine(line, sizeof line, count, kCommandPolls);  // return code, not examined
    GetLine(line, sizeof line, count, kCommandPolls);
    part = strtol(line, nullptr, 0);
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(part));
    return err;
}

aErr NXPSerialClass::GetDeviceID()
{
    const char* text = "N\r\n";
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
        return err;
    }
    char line[32];
    unsigned int count = 0;
    // Line -1 is the return code, not examined. A chip that refuses N or
    // falls silent sends no words, and reading them as zeros would hand the
    // server a fingerprint of no chip (and -N would print it as a success); a
    // reply later than the budget would shift the words by one, the code read
    // as the first. Any missing line is a chip that sent no identification.
    for (int i = -1; i < 4; i++) {
        GetLine(line, sizeof line, count, kCommandPolls);
        if (count == 0) {
            Log::log(DEBUG_NXPSerial, "Error no device ID word %d\n", i);
            cause = Cause(aErrTimeout, "chip sent no device identification");
            return aErrTimeout;
        }
        if (i >= 0) deviceID[i] = static_cast<uint32_t>(strtoul(line, nullptr, 0));
    }
    return err;
}

// ---------------------------------------------------------------------------
// Data transfer

aErr NXPSerialClass::Write(unsigned int address, unsigned int count, const unsigned char* data)
{
    if (count == 0 || count % 4 != 0 || data == nullptr) return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "W %u %u\r\n", address, count);
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", text,
                 aError_GetErrorText(err));
        return err;
    }
    char line[kLineSize];
    unsigned int got = 0;
    GetLine(line, sizeof line, got, kCommandPolls);
    if (!CommandSucceeded(line, got)) {
        Log::log(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n",
                 GetErrorText(line + GetErrorIndex(line, got)));
        cause = RefusalCause(line, got);
        return aErrParam;
    }

    // One budget for the whole call: a line that keeps failing cannot loop.
    unsigned int retries = MAX_READ_RETRY;
    unsigned int blockStart = 0;
    unsigned int sent = 0;
    unsigned int lines = 0;
    char encoded[2 + 4 * ((MAX_BYTES_PER_LINE + 2) / 3)];
    while (sent < count && err == aErrNone) {
        unsigned int n = count - sent < MAX_BYTES_PER_LINE ? count - sent : MAX_BYTES_PER_LINE;
        uuencode(encoded, data + sent, n);
        err = Send(encoded, echo);
        if (err == aErrNone) err = Send("\r\n", echo);
        if (err != aErrNone) break;
        sent += n;
        lines++;
        if (lines < LINES_PER_CHECKSUM && sent < count) continue;

        uint32_t checksum = sum(data + blockStart, sent - blockStart);
        Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%u)\n", checksum, checksum);
        char checkText[24];
        snprintf(checkText, sizeof checkText, "%u\r\n", checksum);
        err = Send(checkText, echo);
        if (err != aErrNone) break;
        uint64_t start = aTime_GetMSTicks();
        GetLine(line, sizeof line, got, kChecksumPolls);
        Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
                 static_cast<int>(aTime_GetMSTicks() - start + 1));
        if (memcmp(line, "OK\r\n", 5) == 0) {
            blockStart = sent;
            Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", sent, count,
                     100.0 * sent / count);
        } else if (memcmp(line, "RESEND\r\n", 9) == 0) {
            retries--;
            if (retries > 0) {
                sent = blockStart;
            } else {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                cause = Cause(aErrTimeout, "chip asked for the data again " + std::to_string(MAX_READ_RETRY) +
                                               " times (checksum mismatch)");
                err = aErrTimeout;
            }
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
            cause = Cause(aErrIO, "chip answered the checksum with neither OK nor RESEND");
            err = aErrIO;
        }
        lines = 0;
    }
    return err;
}

aErr NXPSerialClass::Read(unsigned int address, unsigned int count, unsigned char* out)
{
    if (count == 0 || count % 4 != 0 || out == nullptr) return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "R %u %u\r\n", address, count);
    aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
        return err;
    }
    char line[kLineSize];
    unsigned int got = 0;
    GetLine(line, sizeof line, got, kCommandPolls);
    if (!CommandSucceeded(line, got)) {
        Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line + GetErrorIndex(line, got)));
        return aErrParam;
    }

    unsigned int retries = MAX_READ_RETRY;
    unsigned int blockStart = 0;
    unsigned int received = 0;
    unsigned int lines = 0;
    while (received < count && err == aErrNone) {
        GetLine(line, sizeof line, got, kCommandPolls);
        if (got == 0) {
            // A silent chip would otherwise "match" an empty block forever.
            Log::log(DEBUG_NXPSerial, "Read() no data line\n");
            err = aErrTimeout;
            break;
        }
        received += uudecode(out + received, count - received, line);
        lines++;
        if (lines < LINES_PER_CHECKSUM && received < count) continue;

        GetLine(line, sizeof line, got, kCommandPolls);
        uint32_t expected = static_cast<uint32_t>(strtoul(line, nullptr, 0));
        if (got > 0 && received > blockStart && expected == sum(out + blockStart, received - blockStart)) {
            Send("OK\r\n", false);
            char echoBuffer[8];
            unsigned int echoed = 0;
            Response(echoBuffer, sizeof echoBuffer, echoed, "OK\r\n", received < count ? 3 : 4);
            blockStart = received;
            Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", received, count,
                     100.0 * received / count);
        } else {
            retries--;
            if (retries > 0) {
                err = Send("RESEND\r\n", echo);
                received = blockStart;
            } else {
                err = aErrTimeout;
            }
        }
        lines = 0;
    }
    return err;
}

// ---------------------------------------------------------------------------
// Conversions

unsigned int NXPSerialClass::CopyLength(unsigned int n)
{
    if (n <= 256) return 256;
    if (n <= 512) return 512;
    if (n <= 1024) return 1024;
    if (n <= 4096) return 4096;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", n);
    return n;
}

unsigned int NXPSerialClass::SectorFromAddress(unsigned int address)
{
    const NXPSector* row = NXP_LPC17XX_sectors;
    for (; row->start != 0xFFFFFFFF; row++) {
        if (address >= row->start && address - row->start < row->size) break;
    }
    return row->sector;
}

uint32_t NXPSerialClass::sum(const unsigned char* data, unsigned int n)
{
    uint32_t total = 0;
    for (unsigned int i = 0; i < n; i++) total += data[i];
    return total;
}

char NXPSerialClass::uuchar(unsigned int v)
{
    // A blank would be trimmed by line-oriented receivers; 0 is sent as `.
    v &= 63;
    return v == 0 ? '`' : static_cast<char>(v + 32);
}

unsigned int NXPSerialClass::uuencode(char* out, const unsigned char* data, unsigned int n)
{
    char* p = out;
    *p++ = uuchar(n);
    for (unsigned int i = 0; i < n; i += 3) {
        uint32_t group = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < n) group |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (i + 2 < n) group |= data[i + 2];
        *p++ = uuchar(group >> 18);
        *p++ = uuchar(group >> 12);
        *p++ = uuchar(group >> 6);
        *p++ = uuchar(group);
    }
    *p = '\0';
    return n;
}

unsigned int NXPSerialClass::uudecode(unsigned char* out, unsigned int room, const char* line)
{
    if (line == nullptr || line[0] == '\0') return 0;
    unsigned int count = static_cast<unsigned int>((line[0] - 32) & 63);
    if (count > room) return 0;
    const char* p = line + 1;
    unsigned int produced = 0;
    while (produced < count) {
        uint32_t group = 0;
        for (int k = 0; k < 4; k++) {
            char c = p[k];
            if (c == '\0' || c == '\r' || c == '\n') {
                Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
                return count;
            }
            group = (group << 6) | static_cast<uint32_t>((c - 32) & 63);
        }
        p += 4;
        // The last group may carry up to two padding bytes beyond count.
        for (int k = 0; k < 3 && produced < count; k++)
            out[produced++] = static_cast<unsigned char>(group >> (16 - 8 * k));
    }
    return count;
}
