#include "SDPLoader.h"

#include <cstddef>
#include <cstdio>
#include <string>

#include "Log.h"

namespace {

const unsigned char kCommandReport = 1;
const unsigned char kDataReport = 2;

// SDP command types (both bytes carry the same value).
const unsigned char kReadRegister = 0x01;
const unsigned char kWriteFile = 0x04;
const unsigned char kErrorStatus = 0x05;
const unsigned char kJumpAddress = 0x0B;

const unsigned char kFormat32Bit = 0x20;

const unsigned int kStatusAttempts = 5;
const unsigned int kReplyTimeoutMs = 100;

void PutBigEndian(std::vector<unsigned char>& packet, unsigned int value)
{
    packet.push_back(static_cast<unsigned char>(value >> 24));
    packet.push_back(static_cast<unsigned char>(value >> 16));
    packet.push_back(static_cast<unsigned char>(value >> 8));
    packet.push_back(static_cast<unsigned char>(value));
}

std::vector<unsigned char> Command(unsigned char type, unsigned int address, unsigned char format,
                                   unsigned int count)
{
    std::vector<unsigned char> packet = {kCommandReport, type, type};
    PutBigEndian(packet, address);
    packet.push_back(format);
    PutBigEndian(packet, count);
    return packet;
}

}  // namespace

SDPLoader_Interface::~SDPLoader_Interface() = default;

SDPLoader::SDPLoader() : loader(nullptr) {}

SDPLoader::~SDPLoader()
{
    delete loader;
}

bool SDPLoader::setLoader(SDPLoader_Interface* transport)
{
    if (transport == nullptr || loader != nullptr) return false;
    loader = transport;
    return true;
}

int SDPLoader::init()
{
    if (loader == nullptr) return SDP_NO_TRANSPORT;
    if (loader->init()) return SDP_OK;
    cause = loader->cause;
    return SDP_INIT_FAILED;
}

void SDPLoader::_fillCommand(std::vector<unsigned char>& packet)
{
    if (packet.size() < MAX_COMMAND_BYTES) packet.resize(MAX_COMMAND_BYTES, 0);
}

std::vector<unsigned char> SDPLoader::_create4ByteReadRegisterPacket(unsigned int address)
{
    std::vector<unsigned char> packet = Command(kReadRegister, address, kFormat32Bit, 4);
    _fillCommand(packet);
    return packet;
}

std::vector<unsigned char> SDPLoader::_createJumpPacket(unsigned int address)
{
    std::vector<unsigned char> packet = Command(kJumpAddress, address, 0, 0);
    _fillCommand(packet);
    return packet;
}

std::vector<unsigned char> SDPLoader::_createStatusPacket()
{
    std::vector<unsigned char> packet = Command(kErrorStatus, 0, 0, 0);
    _fillCommand(packet);
    return packet;
}

std::vector<unsigned char> SDPLoader::_createWriteFilePacket(unsigned int address, unsigned int count)
{
    std::vector<unsigned char> packet = Command(kWriteFile, address, kFormat32Bit, count);
    _fillCommand(packet);
    return packet;
}

bool SDPLoader::_expectResponse(const std::vector<unsigned char>& reply)
{
    unsigned int word = 0;
    return loader->getDataFromBuffer(reply, 0, word);
}

bool SDPLoader::_expectSuccess(const std::vector<unsigned char>& reply)
{
    unsigned int word = 0;
    return loader->getDataFromBuffer(reply, 0, word) && word == WRITE_COMPLETE;
}

bool SDPLoader::_expectAck(const std::vector<unsigned char>& reply)
{
    unsigned int word = 0;
    return loader->getDataFromBuffer(reply, 0, word) && word == ACK;
}

void SDPLoader::_printBuffer(const std::vector<unsigned char>& bytes)
{
    if (!Log::IsActive(DEBUG_iMXSerial)) return;
    // Log takes at most 2047 characters per call; a data packet dump is longer.
    std::string text;
    char one[8];
    for (unsigned char b : bytes) {
        snprintf(one, sizeof one, "%X ", b);
        text += one;
        if (text.size() >= 1024) {
            Log::log(DEBUG_iMXSerial, "%s", text.c_str());
            text.clear();
        }
    }
    text += "\n";
    Log::log(DEBUG_iMXSerial, "%s", text.c_str());
}

bool SDPLoader::_isConnectionAlive()
{
    std::vector<unsigned char> status = _createStatusPacket();
    for (unsigned int attempt = 0; attempt < kStatusAttempts; attempt++) {
        ssize_t written = loader->writeData(status);
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
        _printBuffer(status);
        std::vector<unsigned char> reply;
        ssize_t got = loader->readData(reply, kReplyTimeoutMs);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
        _printBuffer(reply);
        // Any word answers the status command; its value does not matter.
        if (_expectResponse(reply)) return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    cause = Cause(aErrTimeout,
                  "chip did not answer the status command (" + std::to_string(kStatusAttempts) + " tries)");
    return false;
}

int SDPLoader::writeLoader(const std::vector<unsigned char>& image, unsigned int address)
{
    if (loader == nullptr) return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive()) return SDP_NO_STATUS;

    std::vector<unsigned char> command =
        _createWriteFilePacket(address, static_cast<unsigned int>(image.size()));
    ssize_t result = loader->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);
    _printBuffer(command);

    int total = 0;
    int loop = 0;
    size_t position = 0;
    while (position < image.size()) {
        // The chip stays silent while it takes data; anything it says now is
        // an error report.
        std::vector<unsigned char> incoming;
        ssize_t got = loader->readData(incoming, 0);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
        _printBuffer(incoming);
        if (!incoming.empty()) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            cause = Cause(aErrIO, "chip reported an error while the loader was sent");
            return SDP_DATA_IN_TRANSFER;
        }
        size_t n = image.size() - position < MAX_WRITE_BYTES ? image.size() - position : MAX_WRITE_BYTES;
        std::vector<unsigned char> packet;
        packet.reserve(n + 1);
        packet.push_back(kDataReport);
        packet.insert(packet.end(), image.begin() + static_cast<std::ptrdiff_t>(position),
                      image.begin() + static_cast<std::ptrdiff_t>(position + n));
        result = loader->writeData(packet);
        total += static_cast<int>(result);
        position += n;
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", result,
                 total, loop, static_cast<long>(position), static_cast<ssize_t>(packet.size()));
        loop++;
    }

    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
    std::vector<unsigned char> reply;
    loader->readData(reply, kReplyTimeoutMs);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    _printBuffer(reply);
    if (_expectSuccess(reply)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SDP_OK;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    unsigned int word = 0;
    char text[80];
    if (loader->getDataFromBuffer(reply, 0, word))
        snprintf(text, sizeof text, "chip answered %08X, not the completion word %08X", word, WRITE_COMPLETE);
    else
        snprintf(text, sizeof text, "chip sent no completion word");
    cause = Cause(aErrIO, text);
    return SDP_NO_COMPLETION;
}

void SDPLoader::startLoader(unsigned int address)
{
    if (loader == nullptr) return;
    std::vector<unsigned char> command = _createJumpPacket(address);
    ssize_t result = loader->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);
    _printBuffer(command);
    std::vector<unsigned char> ignored;
    loader->readData(ignored, kReplyTimeoutMs);
}

int SDPLoader::getFingerprint(uint64_t& value)
{
    if (loader == nullptr) return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive()) return SDP_NO_STATUS;

    const unsigned int offsets[2] = {IMX1050::CFG0_OFFSET, IMX1050::CFG1_OFFSET};
    for (int half = 0; half < 2; half++) {
        std::vector<unsigned char> command =
            _create4ByteReadRegisterPacket(IMX1050::OCOTP_BASE_ADDRESS + offsets[half]);
        ssize_t written = loader->writeData(command);
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
        std::vector<unsigned char> reply;
        ssize_t got = loader->readData(reply, kReplyTimeoutMs);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
        unsigned int word = 0;
        if (!loader->getDataFromBuffer(reply, 0, word)) return SDP_NO_REGISTER_REPLY;
        value |= static_cast<uint64_t>(word) << (32 * half);
    }
    return SDP_OK;
}
