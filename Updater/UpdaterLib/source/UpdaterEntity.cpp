#include "UpdaterEntity.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "Log.h"
#include "aPacket.h"
#include "aTime.h"
#include "aUEI.h"

using Orvantis::Keystrand::Module;

namespace {

// Command, option and 26 data bytes fill a packet's 28-byte payload.
constexpr uint32_t kDataPerPacket = 26;
constexpr int kReconnectAttempts = 5;
constexpr uint32_t kReconnectDelayMs = 500;
constexpr uint32_t kRebootPollMs = 250;

}  // namespace

UpdaterEntity::UpdaterEntity() : module(nullptr), validate_sum(true) {}

UpdaterEntity::~UpdaterEntity() = default;

aErr UpdaterEntity::init(Module* m, uint8_t index, bool validate)
{
    module = m;
    validate_sum = validate;
    return EntityClass::init(m, cmdUPGRADE, index);
}

aErr UpdaterEntity::fail(const Cause& why)
{
    cause = why;
    return why.code;
}

aErr UpdaterEntity::send(uint8_t option, uint8_t length, const uint8_t* parameters)
{
    uint8_t payload[aPACKET_MAX_DATA];
    payload[0] = option;
    if (length > 0) memcpy(payload + 1, parameters, length);
    aErr err = sendPacket(cmdUPGRADE, static_cast<uint8_t>(length + 1), payload);
    if (err != aErrNone)
        fail(Cause(err, std::string("link to the module failed: ") + aError_GetErrorText(err)));
    return err;
}

aErr UpdaterEntity::await(uint8_t option, uint8_t* reply, uint8_t& length)
{
    const uint8_t match[2] = {cmdUPGRADE, option};
    length = sizeof match;
    aErr err = receivePacket(match, &length, reply);
    if (err != aErrNone) fail(Cause::FromModule(err));
    return err;
}

aErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr err = send(val_UPGRADE_INIT, 0, nullptr);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    err = await(val_UPGRADE_INIT, reply, length);
    if (err != aErrNone) return err;
    if (length < 6) return fail(Cause(aErrPacket, "module's reply to the upgrade start is too short"));
    uint32_t base = aUEI_RetrieveInt(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& block_size)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length),
             flags, block_size);
    if (data == nullptr || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
             flags, data[0], data[1], data[2], data[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(aUEI_RetrieveInt(data)));
    const uint8_t parameters[5] = {flags, data[0], data[1], data[2], data[3]};
    aErr err = send(val_UPGRADE_PREPARE, sizeof parameters, parameters);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    err = await(val_UPGRADE_STATUS, reply, replyLength);
    if (err != aErrNone) return err;
    if (replyLength < 5 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return fail(Cause(aErrInvalidOption, "module refused the block (status " +
                                                 std::to_string(replyLength >= 3 ? reply[2] : -1) + ")"));
    }
    block_size = aUEI_RetrieveShort(reply + 3);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", block_size);
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t sum = 0;
    uint32_t remaining = length;
    aErr err = aErrNone;
    int resends = 0;
    while (remaining != 0 && err == aErrNone) {
        uint32_t n = remaining < kDataPerPacket ? remaining : kDataPerPacket;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
                 static_cast<int>(n));
        aErr sendErr = send(val_UPGRADE_DATA, static_cast<uint8_t>(n), data);
        if (sendErr != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", sendErr);
            return sendErr;
        }
        uint8_t reply[aPACKET_MAX_DATA];
        uint8_t replyLength = 0;
        aErr got = await(val_UPGRADE_DATA, reply, replyLength);
        if (got != aErrNone || replyLength < 3) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            if (got == aErrNone) fail(Cause(aErrPacket, "module's data reply is too short"));
            err = aErrPacket;
            break;
        }
        if (reply[2] == n) {
            for (uint32_t i = 0; i < n; ++i) sum += data[i];
            data += n;
            remaining -= n;
            ++packets;
            resends = 0;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(n), static_cast<int>(remaining), static_cast<int>(length));
        } else {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
                     reply[2], static_cast<int>(n));
            // A loader that keeps miscounting must not hold the update forever.
            if (++resends > kMaxResends)
                err = fail(
                    Cause(aErrPacket, "module miscounted the data " + std::to_string(resends) + " times"));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n",
             static_cast<int>(length - remaining), static_cast<int>(length));

    if (err == aErrNone && validate_sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
        send(val_UPGRADE_SUM, 0, nullptr);
        uint8_t reply[aPACKET_MAX_DATA];
        uint8_t replyLength = 0;
        if (await(val_UPGRADE_STATUS, reply, replyLength) != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
            cause.code = aErrPacket;
            return aErrPacket;
        }
        uint8_t status = replyLength >= 3 ? reply[2] : 0xFF;
        uint32_t loaderSum = replyLength >= 7 ? aUEI_RetrieveInt(reply + 3) : ~sum;
        if (status == 0 && loaderSum == sum) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
                     status, sum, loaderSum, static_cast<int>(packets));
            return aErrNone;
        }
        Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
                 loaderSum);
        char text[80];
        snprintf(text, sizeof text, "module's sum %08X of the block is not %08X (status %02X)", loaderSum,
                 sum, status);
        return fail(Cause(aErrInvalidOption, text));
    }
    return err;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length)
{
    if (data == nullptr || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(data),
             static_cast<int>(length - 4));
    uint32_t packets = 0;
    return _block_transfer(data + 4, length - 4, packets);
}

aErr UpdaterEntity::_reconnect(uint32_t delay_ms)
{
    module->disconnect();
    aErr err = aErrConnection;
    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
                 kReconnectAttempts);
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 static_cast<int>(delay_ms));
        aTime_MSSleep(delay_ms);
    }
    return err;
}

aErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr err = send(val_UPGRADE_LOAD, 0, nullptr);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    if (await(val_UPGRADE_LOAD, reply, length) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // The module drops off the link while it switches into its loader, so a
    // missing reply here is expected: find it again and await the reply.
    err = _reconnect(kReconnectDelayMs);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
                 aError_GetErrorText(err));
        return fail(Cause(aErrTimeout, "module did not come back after starting its loader"));
    }
    err = await(val_UPGRADE_LOAD, reply, length);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n",
             err, aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t length)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(length));
    uint8_t parameters[2];
    aUEI_StoreShort(parameters, static_cast<uint16_t>(length));
    aErr err = send(val_UPGRADE_WRITE, sizeof parameters, parameters);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    aErr got = await(val_UPGRADE_STATUS, reply, replyLength);
    if (got == aErrNone && replyLength >= 3 && reply[2] == 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    if (got == aErrNone)
        fail(Cause(aErrInvalidOption, "module refused to write the chunk (status " +
                                          std::to_string(replyLength >= 3 ? reply[2] : -1) + ")"));
    return aErrInvalidOption;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t block_size,
                                     UpdaterDisplayInterface& display)
{
    if (data == nullptr || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(data),
             static_cast<int>(length - 4));
    uint32_t remaining = length - 4;
    const uint8_t* next = data + 4;
    aErr err = aErrNone;
    // A loader that announces chunks of 0 bytes would never make progress.
    if (block_size == 0 && remaining != 0) err = fail(Cause(aErrSize, "module announced blocks of 0 bytes"));

    display.display_progress(true);
    while (remaining != 0 && err == aErrNone) {
        uint32_t n = remaining < block_size ? remaining : block_size;
        uint32_t packets = 0;
        err = _block_transfer(next, n, packets);
        if (err != aErrNone) break;
        remaining -= n;
        next += n;
        display.update_progress(static_cast<double>(length - remaining) / static_cast<double>(length),
                                nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 static_cast<int>(n), static_cast<int>(remaining), static_cast<int>(length));
        err = FirmwareWrite(n);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             static_cast<int>(length - remaining), static_cast<int>(length));
    if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr err = send(val_UPGRADE_REBOOT, 0, nullptr);
    if (err != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    uint64_t deadline = aTime_GetMSTicks() + kRebootWaitMs;
    while (module->isConnected()) {
        if (aTime_GetMSTicks() >= deadline) {
            display.update_spinner(false, "Verifying Update");
            return fail(Cause(
                aErrTimeout, "module did not restart within " + std::to_string(kRebootWaitMs / 1000) + " s"));
        }
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    }
    display.update_spinner(false, "Verifying Update");
    return err;
}
