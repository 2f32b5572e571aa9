#ifndef UPDATER_UPDATER_ENTITY_H
#define UPDATER_UPDATER_ENTITY_H

#include <cstdint>

#include "Cause.h"
#include "Entity.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// Upgrade command of the module protocol and its options.
#define cmdUPGRADE 95
#define val_UPGRADE_INIT 0
#define val_UPGRADE_DATA 1
#define val_UPGRADE_LOAD 2
#define val_UPGRADE_PREPARE 3
#define val_UPGRADE_SUM 4
#define val_UPGRADE_WRITE 5
#define val_UPGRADE_REBOOT 6
#define val_UPGRADE_STATUS 7

// The host side of a module's resident loader: opens the conversation, sends
// blocks in data packets confirmed by a byte sum, commits firmware chunks,
// starts the loader and reboots into the new firmware. One object per phase
// (loader, firmware); all calls block on the caller's thread.
class UpdaterEntity : public Orvantis::Keystrand::EntityClass {
public:
    UpdaterEntity();
    ~UpdaterEntity() override;

    // Binds to the module (not owned); validate asks for the byte sum after
    // every block transfer.
    aErr init(Orvantis::Keystrand::Module* module, uint8_t index, bool validate);
    // Opens the upgrade conversation. aErrPacket for a short reply.
    aErr LoaderInit();
    // Announces one block (data begins with its 4-byte address); sets
    // block_size from the reply. aErrInvalidOption for a refused block.
    aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& block_size);
    // Sends one loader block (data begins with its address) under one sum.
    aErr LoaderTransfer(const uint8_t* data, uint32_t length);
    // Runs the transferred loader; reconnects (5 tries, 500 ms apart) when
    // the module drops off. aErrTimeout when it cannot be reached again.
    aErr LoaderStart();
    // Sends one firmware block in chunks of block_size, each sum-checked and
    // committed, drawing the progress bar. aErrSize for block size 0.
    aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t block_size,
                          UpdaterDisplayInterface& display);
    // Commits the chunk just sent. aErrInvalidOption for a bad or missing reply.
    aErr FirmwareWrite(uint32_t length);
    // Restarts the module and waits (at most 30 s) for its link to drop,
    // turning the spinner. aErrTimeout when it never drops.
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    // Why the last failing call failed, in words.
    const Cause& LastCause() const { return cause; }

    // Bounds of the loops a misbehaving module could otherwise keep going.
    static constexpr int kMaxResends = 10;
    static constexpr uint32_t kRebootWaitMs = 30000;

private:
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets);
    aErr _reconnect(uint32_t delay_ms);
    aErr send(uint8_t option, uint8_t length, const uint8_t* parameters);
    aErr await(uint8_t option, uint8_t* reply, uint8_t& length);

    // Sets the cause and returns its code.
    aErr fail(const Cause& why);

    Orvantis::Keystrand::Module* module;
    bool validate_sum;
    Cause cause;
};

#endif
