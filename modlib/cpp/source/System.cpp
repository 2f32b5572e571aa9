#include "System.h"

#include <vector>

#include "aUEI.h"

namespace Orvantis {
namespace Keystrand {

aErr SystemClass::init(Module* module, uint8_t index)
{
    return EntityClass::init(module, cmdSYSTEM, index);
}

namespace {

aErr sSigned(aErr err, uint32_t raw, int32_t* out)
{
    if (err == aErrNone || err == aErrStreamStale) *out = static_cast<int32_t>(raw);
    return err;
}

}  // namespace

aErr SystemClass::getModule(uint8_t* address)
{
    return getUEI8(sysModule, address);
}
aErr SystemClass::setRouter(uint8_t address)
{
    return setUEI8(sysRouter, address);
}
aErr SystemClass::getRouter(uint8_t* address)
{
    return getUEI8(sysRouter, address);
}
aErr SystemClass::setHBInterval(uint8_t interval)
{
    return setUEI8(sysHBInterval, interval);
}
aErr SystemClass::getHBInterval(uint8_t* interval)
{
    return getUEI8(sysHBInterval, interval);
}
aErr SystemClass::setLED(uint8_t on)
{
    return setUEI8(sysLED, on ? 1 : 0);
}
aErr SystemClass::getLED(uint8_t* on)
{
    return getUEI8(sysLED, on);
}
aErr SystemClass::setBootSlot(uint8_t slot)
{
    return setUEI8(sysBootSlot, slot);
}
aErr SystemClass::getBootSlot(uint8_t* slot)
{
    return getUEI8(sysBootSlot, slot);
}
aErr SystemClass::getVersion(uint32_t* version)
{
    return getUEI32(sysVersion, version);
}
aErr SystemClass::getModel(uint8_t* model)
{
    return getUEI8(sysModel, model);
}
aErr SystemClass::getSerialNumber(uint32_t* serial)
{
    return getUEI32(sysSerialNumber, serial);
}
aErr SystemClass::save()
{
    return callUEI(sysSave);
}
aErr SystemClass::reset()
{
    return callUEI(sysReset);
}
aErr SystemClass::getInputVoltage(uint32_t* value)
{
    return getUEI32(sysInputVoltage, value);
}
aErr SystemClass::getModuleHardwareOffset(uint8_t* value)
{
    return getUEI8(sysModuleHardwareOffset, value);
}
aErr SystemClass::getModuleBaseAddress(uint8_t* value)
{
    return getUEI8(sysModuleBaseAddress, value);
}
aErr SystemClass::setModuleSoftwareOffset(uint8_t value)
{
    return setUEI8(sysModuleSoftwareOffset, value);
}
aErr SystemClass::getModuleSoftwareOffset(uint8_t* value)
{
    return getUEI8(sysModuleSoftwareOffset, value);
}
aErr SystemClass::getRouterAddressSetting(uint8_t* value)
{
    return getUEI8(sysRouterAddressSetting, value);
}
aErr SystemClass::routeToMe(uint8_t on)
{
    return setUEI8(sysRouteToMe, on);
}
aErr SystemClass::getInputCurrent(uint32_t* value)
{
    return getUEI32(sysInputCurrent, value);
}
aErr SystemClass::getUptime(uint32_t* value)
{
    return getUEI32(sysUptime, value);
}

aErr SystemClass::getMaximumTemperature(int32_t* value)
{
    if (value == nullptr) return aErrParam;
    uint32_t raw = 0;
    return sSigned(getUEI32(sysMaximumTemperature, &raw), raw, value);
}

aErr SystemClass::logEvents()
{
    return callUEI(sysLogEvents);
}

aErr SystemClass::getUnregulatedVoltage(int32_t* value)
{
    if (value == nullptr) return aErrParam;
    uint32_t raw = 0;
    return sSigned(getUEI32(sysUnregulatedVoltage, &raw), raw, value);
}

aErr SystemClass::getUnregulatedCurrent(int32_t* value)
{
    if (value == nullptr) return aErrParam;
    uint32_t raw = 0;
    return sSigned(getUEI32(sysUnregulatedCurrent, &raw), raw, value);
}

aErr SystemClass::getTemperature(int32_t* value)
{
    if (value == nullptr) return aErrParam;
    uint32_t raw = 0;
    return sSigned(getUEI32(sysTemperature, &raw), raw, value);
}

aErr SystemClass::getMinimumTemperature(int32_t* value)
{
    if (value == nullptr) return aErrParam;
    uint32_t raw = 0;
    return sSigned(getUEI32(sysMinimumTemperature, &raw), raw, value);
}

aErr SystemClass::getInputPowerSource(uint8_t* value)
{
    return getUEI8(sysInputPowerSource, value);
}
aErr SystemClass::setInputPowerBehavior(uint8_t value)
{
    return setUEI8(sysInputPowerBehavior, value);
}
aErr SystemClass::getInputPowerBehavior(uint8_t* value)
{
    return getUEI8(sysInputPowerBehavior, value);
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count)
{
    if (words == nullptr && count > 0) return aErrParam;
    std::vector<uint8_t> bytes(count * 4);
    for (size_t i = 0; i < count; ++i) aUEI_StoreInt(&bytes[i * 4], words[i]);
    return setUEIBytes(sysInputPowerBehavior, bytes.data(), bytes.size());
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count)
{
    if (words == nullptr || count == nullptr || capacity == 0) return aErrParam;
    std::vector<uint8_t> bytes(capacity * 4);
    size_t received = 0;
    aErr err = getUEIBytes(sysInputPowerBehavior, bytes.data(), bytes.size(), &received);
    if (err != aErrNone) return err;
    err = getUEIBytesCheck(&received, 4);
    if (err != aErrNone) return err;
    for (size_t i = 0; i < received; ++i) words[i] = aUEI_RetrieveInt(&bytes[i * 4]);
    *count = received;
    return aErrNone;
}

aErr SystemClass::setName(const uint8_t* name, size_t length)
{
    return setUEIBytes(sysName, name, length);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* length)
{
    return getUEIBytes(sysName, buffer, capacity, length);
}

aErr SystemClass::getPowerLimit(uint32_t* value)
{
    return getUEI32(sysPowerLimit, value);
}
aErr SystemClass::setPowerLimitMax(uint32_t value)
{
    return setUEI32(sysPowerLimitMax, value);
}
aErr SystemClass::getPowerLimitMax(uint32_t* value)
{
    return getUEI32(sysPowerLimitMax, value);
}
aErr SystemClass::getPowerLimitState(uint32_t* value)
{
    return getUEI32(sysPowerLimitState, value);
}
aErr SystemClass::resetEntityToFactoryDefaults()
{
    return callUEI(sysResetEntityToFactoryDefaults);
}
aErr SystemClass::resetDeviceToFactoryDefaults()
{
    return callUEI(sysResetDeviceToFactoryDefaults);
}
aErr SystemClass::setLinkInterface(uint8_t value)
{
    return setUEI8(sysLinkInterface, value);
}
aErr SystemClass::getLinkInterface(uint8_t* value)
{
    return getUEI8(sysLinkInterface, value);
}
aErr SystemClass::getHardwareVersion(uint32_t* value)
{
    return getUEI32(sysHardwareVersion, value);
}
aErr SystemClass::getErrors(uint32_t* value)
{
    return getUEI32(sysErrors, value);
}

}  // namespace Keystrand
}  // namespace Orvantis
