// The i.MX serial download client: reply words of both transports, the HID
// transport's assembly of reports, SDPLoader's exchanges on scripted replies.
// Input: byte 0 bit 0 transport (0 HID, 1 serial), bits 1-2 operation (0
// getFingerprint, 1 writeLoader of byte 1 x 16 bytes, 2 startLoader and
// getFingerprint, 3 getDataFromBuffer of both on the rest at offset byte 1);
// byte 1 parameter; the rest the chip's side as chunks of a length byte and
// its bytes (HID: what hid_read_timeout returns, 0 ends a read, 255 an error).
// The hidapi functions below take precedence over the shared library.
#include <algorithm>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"

typedef std::vector<unsigned char> Bytes;

struct hid_device_ {
    int unused;
};

namespace {

// The chip side of the current input.
struct Script {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    // Next chunk: its length byte and up to limit bytes after it.
    bool Next(uint8_t& length, Bytes& bytes, size_t limit)
    {
        if (pos >= size) return false;
        length = data[pos++];
        size_t n = std::min<size_t>({size_t(length), limit, size - pos});
        bytes.assign(data + pos, data + pos + n);
        pos += n;
        return true;
    }
} gScript;

hid_device_ gDevice{0};

// The reply-word rules: HID replies are exactly 70 bytes, the word after 6;
// serial ones hold the word after the 4-byte security word.
bool ReplyWord(bool hid, const Bytes& reply, unsigned int offset, unsigned int& word)
{
    if (offset > 15 || (hid ? reply.size() != 70 : reply.size() < (size_t(offset) + 2) * 4)) return false;
    const size_t at = offset + (hid ? 6 : 4);
    word = reply[at] | reply[at + 1] << 8 | reply[at + 2] << 16 | unsigned(reply[at + 3]) << 24;
    return true;
}

// A serial port that reads the script, one chunk per read.
class ScriptedSerial : public Serial_SDPLoader {
public:
    ScriptedSerial() : Serial_SDPLoader("/dev/null") {}
    bool init() override { return true; }
    ssize_t writeData(const Bytes& packet) override
    {
        return packet.empty() ? -1 : ssize_t(packet.size() - 1);
    }
    ssize_t readData(Bytes& out, unsigned int) override
    {
        uint8_t length = 0;
        Bytes chunk;
        if (!gScript.Next(length, chunk, 255)) return 0;
        out.insert(out.end(), chunk.begin(), chunk.end());
        return ssize_t(chunk.size());
    }
};

// Records every packet written and every reply read.
class Recorder : public SDPLoader_Interface {
public:
    explicit Recorder(SDPLoader_Interface* inner, bool hid) : inner_(inner), hid_(hid) {}
    ~Recorder() override { delete inner_; }
    bool init() override { return inner_->init(); }
    ssize_t writeData(const Bytes& packet) override
    {
        writes.push_back(packet);
        return inner_->writeData(packet);
    }
    ssize_t readData(Bytes& out, unsigned int timeout_ms) override
    {
        size_t before = out.size();
        ssize_t got = inner_->readData(out, timeout_ms);
        FUZZ_CHECK(got >= 0 && size_t(got) == out.size() - before);
        replies.push_back(Bytes(out.begin() + before, out.end()));
        return got;
    }
    // The word rules themselves are checked by operation 3.
    bool getDataFromBuffer(const Bytes& reply, unsigned int offset, unsigned int& value) override
    {
        return inner_->getDataFromBuffer(reply, offset, value);
    }
    // The word a reply carries at offset 0, or false.
    bool Word(const Bytes& reply, unsigned int& word) const { return ReplyWord(hid_, reply, 0, word); }

    std::vector<Bytes> writes;
    std::vector<Bytes> replies;

private:
    SDPLoader_Interface* inner_;
    bool hid_;
};

void CheckDirect(const Bytes& reply, unsigned int offset)
{
    static HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
    static Serial_SDPLoader serial("/dev/null");
    for (unsigned int at : {offset, offset % 20, 0u}) {
        for (bool isHid : {true, false}) {
            unsigned int value = 0x01000010, expected = 0;
            bool has = ReplyWord(isHid, reply, at, expected);
            SDPLoader_Interface& transport = isHid ? static_cast<SDPLoader_Interface&>(hid) : serial;
            FUZZ_CHECK(transport.getDataFromBuffer(reply, at, value) == has);
            FUZZ_CHECK(value == (has ? (0x01000010 | expected) : 0x01000010));
        }
    }
}

void CheckFingerprint(SDPLoader& loader, Recorder& rec)
{
    uint64_t value = 0;
    size_t first = rec.replies.size();
    int result = loader.getFingerprint(value);
    const std::vector<Bytes>& r = rec.replies;
    unsigned int w0 = 0, w1 = 0;
    switch (result) {
        case SDPLoader::SDP_OK:
            FUZZ_CHECK(r.size() >= first + 3);
            FUZZ_CHECK(rec.Word(r[r.size() - 2], w0) && rec.Word(r[r.size() - 1], w1));
            FUZZ_CHECK(value == (uint64_t(w1) << 32 | w0));
            break;
        case SDPLoader::SDP_NO_STATUS:
            // Five status commands, none answered.
            FUZZ_CHECK(r.size() == first + 5);
            for (size_t i = first; i < r.size(); i++) FUZZ_CHECK(!rec.Word(r[i], w0));
            break;
        case SDPLoader::SDP_NO_REGISTER_REPLY:
            FUZZ_CHECK(!rec.Word(r.back(), w0));
            break;
        default:
            FUZZ_FAIL("unexpected getFingerprint result");
    }
}

void CheckWriteLoader(SDPLoader& loader, Recorder& rec, size_t imageSize)
{
    Bytes image(imageSize);
    for (size_t i = 0; i < imageSize; i++) image[i] = uint8_t(i ^ (i >> 8));
    size_t firstWrite = rec.writes.size();
    int result = loader.writeLoader(image, 0x20000000);
    unsigned int word = 0;
    switch (result) {
        case SDPLoader::SDP_OK:
            FUZZ_CHECK(rec.Word(rec.replies.back(), word) && word == SDPLoader::WRITE_COMPLETE);
            break;
        case SDPLoader::SDP_NO_COMPLETION:
            FUZZ_CHECK(!rec.Word(rec.replies.back(), word) || word != SDPLoader::WRITE_COMPLETE);
            break;
        case SDPLoader::SDP_DATA_IN_TRANSFER:
            FUZZ_CHECK(!rec.replies.back().empty());
            break;
        case SDPLoader::SDP_NO_STATUS:
            FUZZ_CHECK(rec.writes.size() == firstWrite + 5);
            return;
        default:
            FUZZ_FAIL("unexpected writeLoader result");
    }
    // The image goes out in order in data packets of report ID 2 and up to 1024 bytes.
    Bytes sent;
    for (size_t i = firstWrite; i < rec.writes.size(); i++) {
        const Bytes& w = rec.writes[i];
        if (w.empty() || w[0] != 2) continue;
        FUZZ_CHECK(w.size() >= 2 && w.size() <= 1025);
        sent.insert(sent.end(), w.begin() + 1, w.end());
    }
    FUZZ_CHECK(sent.size() <= image.size() && std::equal(sent.begin(), sent.end(), image.begin()));
    if (result != SDPLoader::SDP_DATA_IN_TRANSFER) FUZZ_CHECK(sent == image);
}

}  // namespace

extern "C" {

int hid_init(void)
{
    return 0;
}
int hid_exit(void)
{
    return 0;
}
hid_device_* hid_open(unsigned short, unsigned short, const wchar_t*)
{
    return &gDevice;
}
void hid_close(hid_device_*) {}
int hid_write(hid_device_*, const unsigned char*, size_t length)
{
    return int(length);
}

int hid_read_timeout(hid_device_*, unsigned char* data, size_t length, int)
{
    uint8_t got = 0;
    Bytes report;
    if (!gScript.Next(got, report, length)) return 0;
    if (got == 255) return -1;
    if (!report.empty()) memcpy(data, report.data(), report.size());
    return int(std::min<size_t>(got, length));
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const bool serial = data[0] & 1;
    const unsigned operation = (data[0] >> 1) & 3;
    const unsigned param = data[1];
    gScript = Script{data + 2, size - 2, 0};

    if (operation == 3) {
        CheckDirect(Bytes(data + 2, data + size), param);
        return 0;
    }
    SDPLoader loader;
    Recorder* rec = serial ? new Recorder(new ScriptedSerial, false)
                           : new Recorder(new HID_SDPLoader(IMX1050::VID, IMX1050::PID), true);
    FUZZ_CHECK(loader.setLoader(rec));
    FUZZ_CHECK(loader.init() == SDPLoader::SDP_OK);
    switch (operation) {
        case 0:
            CheckFingerprint(loader, *rec);
            break;
        case 1:
            CheckWriteLoader(loader, *rec, param * 16);
            break;
        case 2:
            loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
            FUZZ_CHECK(rec->writes.size() == 1 && rec->writes[0].size() == 17 && rec->writes[0][1] == 0x0B);
            CheckFingerprint(loader, *rec);
            break;
    }
    return 0;
}
