// The LPC ISP client (NXPSerialClass) on a scripted stream playing the chip.
// Input: byte 0 scenario (0-14 commands and recovery flows, 15-17 the line
// readers and codecs); byte 1 bit 0 echo off, bits 1-3 line rate index, bit 4
// writes fail from call number byte 2 on; bytes 2, 3 parameters; the rest is
// what the chip sends.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "NXPSerial.h"
#include "ScriptedStream.h"

namespace {

const unsigned int kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// Opens the protected primitives and lets the target attach its own stream.
class ScriptedIsp : public NXPSerialClass {
public:
    using NXPSerialClass::CommandSucceeded;
    using NXPSerialClass::GetErrorIndex;
    using NXPSerialClass::GetLine;
    using NXPSerialClass::Response;

    void Attach(aStreamRef s, unsigned int rate, bool echoOn)
    {
        stream = s;
        baud = rate;
        echo = echoOn;
    }
};

std::vector<unsigned char> Pattern(unsigned int n)
{
    std::vector<unsigned char> data(n);
    for (unsigned int i = 0; i < n; i++) data[i] = static_cast<unsigned char>(i * 7 + 1);
    return data;
}

void CheckGetLine(ScriptedIsp& isp, const std::vector<uint8_t>& script, size_t size, unsigned int budget)
{
    std::vector<char> buffer(size);
    unsigned int count = 12345;
    isp.GetLine(buffer.data(), size, count, budget);
    FUZZ_CHECK(count < size && buffer[count] == '\0');
    // The line is the script's bytes, leading LFs dropped, up to CR LF.
    size_t at = 0;
    while (at < script.size() && script[at] == '\n' && at < budget) at++;
    FUZZ_CHECK(count <= script.size() - at || count == 0);
    FUZZ_CHECK(count == 0 || memcmp(buffer.data(), script.data() + at, count) == 0);
}

void CheckCodecs(const std::vector<uint8_t>& rest, unsigned int room)
{
    const std::string line = std::string(rest.begin(), rest.end()).c_str();
    std::vector<unsigned char> out(room);
    unsigned int got = NXPSerialClass::uudecode(room > 0 ? out.data() : nullptr, room, line.c_str());
    if (!line.empty()) FUZZ_CHECK(got == 0 || got == unsigned((line[0] - 32) & 63));
    FUZZ_CHECK(got <= room);

    const char* text = NXPSerialClass::GetErrorText(line.c_str());
    long code = strtol(line.c_str(), nullptr, 0);
    FUZZ_CHECK(text == NXPSerialClass::ERROR_TEXT[code >= 0 && code <= 19 ? code : 20]);

    // Any bytes survive the round trip through one data line.
    unsigned int n = rest.size() < NXPSerialClass::MAX_BYTES_PER_LINE ? unsigned(rest.size())
                                                                      : NXPSerialClass::MAX_BYTES_PER_LINE;
    char encoded[2 + 4 * ((NXPSerialClass::MAX_BYTES_PER_LINE + 2) / 3)];
    FUZZ_CHECK(NXPSerialClass::uuencode(encoded, rest.data(), n) == n);
    std::vector<unsigned char> back(n);
    FUZZ_CHECK(NXPSerialClass::uudecode(n > 0 ? back.data() : nullptr, n, encoded) == n);
    FUZZ_CHECK(n == 0 || memcmp(back.data(), rest.data(), n) == 0);
    FUZZ_CHECK(strchr(encoded, ' ') == nullptr);
}

void CheckReplyCode(ScriptedIsp& isp, const std::vector<uint8_t>& rest)
{
    unsigned int count = rest.size() < 127 ? unsigned(rest.size()) : 127;
    std::vector<char> line(rest.begin(), rest.begin() + count);
    line.push_back('\0');
    unsigned int at = isp.GetErrorIndex(line.data(), count);
    FUZZ_CHECK(at == 0 || at < count);
    if (isp.CommandSucceeded(line.data(), count)) FUZZ_CHECK(line[at] == '0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const unsigned scenario = data[0] % 18;
    const bool echoOn = (data[1] & 1) == 0;
    const unsigned int rate = kRates[(data[1] >> 1) & 7];
    const unsigned p1 = data[2], p2 = data[3];
    const std::vector<uint8_t> rest(data + 4, data + size);

    ScriptedStream chip;
    chip.feed(rest);
    if (data[1] & 0x10) chip.failWritesFrom(p1 % 16);
    ScriptedIsp isp;
    aStreamRef stream = chip.create();
    if (stream == nullptr) return 0;
    isp.Attach(stream, rate, echoOn);

    const unsigned int count = 4 * (p1 + 1);  // 4 to 1024 bytes: up to two checksum blocks
    std::vector<unsigned char> bytes = Pattern(count);
    unsigned char major = 0, minor = 0;
    long part = 0;
    // Scenarios 0-13: one command, or the fingerprint flow.
    const std::function<void()> commands[] = {
        [&] { isp.Sync(); },
        [&] { isp.Unlock(); },
        [&] {
            aErr err = isp.SetEcho(p1 & 1);
            FUZZ_CHECK(isp.Echo() == (err == aErrNone ? bool(p1 & 1) : echoOn));
        },
        [&] { isp.SetBaudRate(kRates[p1 & 7]); },
        [&] { isp.Prepare(p1 % 32, p2 % 32); },
        [&] { isp.Erase(p1 % 32, p2 % 32); },
        [&] {
            isp.CopyToFlash(p1 * 256, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(p2 * 32));
        },
        [&] { isp.ExecuteFrom(p1); },
        [&] { isp.GetBootLoaderVersion(major, minor); },
        [&] { isp.GetPartNumber(part); },
        [&] { isp.GetDeviceID(); },
        [&] { isp.Write(NXPSerialClass::WRITE_ADDRESS, count, bytes.data()); },
        // Exactly count bytes of room: a store past them is caught.
        [&] { isp.Read(0, count, bytes.data()); },
        [&] {
            if (isp.Sync() == aErrNone) isp.GetDeviceID();
        },
    };
    switch (scenario) {
        default:
            commands[scenario]();
            break;
        case 14: {  // the recovery flow for one piece of firmware
            if (isp.Unlock() != aErrNone || isp.Prepare(0, 29) != aErrNone || isp.Erase(0, 29) != aErrNone)
                break;
            isp.SetEcho(false);
            if (isp.Write(NXPSerialClass::WRITE_ADDRESS, count, bytes.data()) != aErrNone) break;
            unsigned int destination = p2 * 0x1000;
            if (isp.Prepare(NXPSerialClass::SectorFromAddress(destination),
                            NXPSerialClass::SectorFromAddress(destination + count - 1)) != aErrNone)
                break;
            if (isp.CopyToFlash(destination, NXPSerialClass::WRITE_ADDRESS,
                                NXPSerialClass::CopyLength(count)) != aErrNone)
                break;
            isp.SetEcho(true);
            isp.ExecuteFrom(0);
            break;
        }
        case 15:
            CheckGetLine(isp, rest, p1 % 130 + 1, p2 < 128 ? 100 : 2000);
            break;
        case 16: {
            char buffer[64];
            unsigned int got = 0;
            static const char* const expected[] = {"Synchronized\r\n", "OK\r\n", "14746\r\n", nullptr};
            const char* text = expected[p2 % 4];
            unsigned int length = text != nullptr ? unsigned(strlen(text)) - (p2 / 4) % 2 : p1 % 80;
            isp.Response(buffer, sizeof buffer, got, text, length);
            FUZZ_CHECK(got <= sizeof buffer && (text == nullptr || got <= length));
            break;
        }
        case 17:
            CheckCodecs(rest, p1 % 50);
            CheckReplyCode(isp, rest);
            break;
    }
    return 0;
}
