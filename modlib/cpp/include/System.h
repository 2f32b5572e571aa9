#ifndef KS_SYSTEM_H
#define KS_SYSTEM_H

#include <cstddef>
#include <cstdint>

#include "Entity.h"

namespace Orvantis {
namespace Keystrand {

// Option codes of the system entity (command 3).
enum SystemOption : uint8_t {
    sysModule = 1,
    sysRouter = 2,
    sysHBInterval = 3,
    sysLED = 4,
    sysBootSlot = 6,
    sysVersion = 7,
    sysModel = 8,
    sysSerialNumber = 9,
    sysSave = 10,
    sysReset = 11,
    sysInputVoltage = 12,
    sysModuleHardwareOffset = 13,
    sysModuleBaseAddress = 14,
    sysModuleSoftwareOffset = 15,
    sysRouterAddressSetting = 16,
    sysRouteToMe = 20,
    sysInputCurrent = 21,
    sysUptime = 22,
    sysMaximumTemperature = 23,
    sysLogEvents = 24,
    sysUnregulatedVoltage = 25,
    sysUnregulatedCurrent = 26,
    sysTemperature = 27,
    sysMinimumTemperature = 28,
    sysInputPowerSource = 29,
    sysInputPowerBehavior = 31,
    sysName = 32,
    sysPowerLimit = 33,
    sysPowerLimitMax = 34,
    sysPowerLimitState = 35,
    sysResetEntityToFactoryDefaults = 36,
    sysResetDeviceToFactoryDefaults = 37,
    sysLinkInterface = 38,
    sysHardwareVersion = 40,
    sysErrors = 41,
};

#define cmdSYSTEM 3

// The system entity: version, model, serial number, reset, routing and the
// rest of the module's own settings. Each call is one UEI exchange.
class SystemClass : public EntityClass {
public:
    aErr init(Module* module, uint8_t index);

    aErr getModule(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getRouter(uint8_t* address);
    aErr setHBInterval(uint8_t interval);
    aErr getHBInterval(uint8_t* interval);
    // Sends 1 for any non-zero value.
    aErr setLED(uint8_t on);
    aErr getLED(uint8_t* on);
    aErr setBootSlot(uint8_t slot);
    aErr getBootSlot(uint8_t* slot);
    // Packed version word: major bits 31..28, minor 27..24, patch 23..0.
    aErr getVersion(uint32_t* version);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serial);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* value);
    aErr getModuleHardwareOffset(uint8_t* value);
    aErr getModuleBaseAddress(uint8_t* value);
    aErr setModuleSoftwareOffset(uint8_t value);
    aErr getModuleSoftwareOffset(uint8_t* value);
    aErr getRouterAddressSetting(uint8_t* value);
    aErr routeToMe(uint8_t on);
    aErr getInputCurrent(uint32_t* value);
    aErr getUptime(uint32_t* value);
    aErr getMaximumTemperature(int32_t* value);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* value);
    aErr getUnregulatedCurrent(int32_t* value);
    aErr getTemperature(int32_t* value);
    aErr getMinimumTemperature(int32_t* value);
    aErr getInputPowerSource(uint8_t* value);
    aErr setInputPowerBehavior(uint8_t value);
    aErr getInputPowerBehavior(uint8_t* value);
    // n 32-bit words sent as 4n bytes; reading turns the byte count into a
    // word count (*count in words on entry: capacity, on exit: received).
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    aErr setName(const uint8_t* name, size_t length);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* length);
    aErr getPowerLimit(uint32_t* value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitMax(uint32_t* value);
    aErr getPowerLimitState(uint32_t* value);
    aErr resetEntityToFactoryDefaults();
    aErr resetDeviceToFactoryDefaults();
    aErr setLinkInterface(uint8_t value);
    aErr getLinkInterface(uint8_t* value);
    aErr getHardwareVersion(uint32_t* value);
    aErr getErrors(uint32_t* value);
};

}  // namespace Keystrand
}  // namespace Orvantis

#endif
