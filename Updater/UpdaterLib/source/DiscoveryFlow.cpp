// The discovery flow: find the modules on a transport or behind a router and
// ask each for its version and build.
#include <vector>

#include "Link.h"
#include "Log.h"
#include "Module.h"
#include "System.h"
#include "Updater.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aPacket.h"
#include "aUEI.h"
#include "aVersion.h"

using Orvantis::Keystrand::Link;
using Orvantis::Keystrand::Module;
using Orvantis::Keystrand::SystemClass;

namespace {

// Build query: command 0x49 with the byte 0xFF; the reply carries the build
// number in bytes 2 to 5, most significant first.
constexpr uint8_t kBuildCommand = 0x49;
constexpr uint8_t kBuildQuery = 0xFF;
constexpr uint8_t kBuildReplyLength = 6;

// Module addresses probed behind a router: every even address 2..252.
constexpr uint8_t kFirstNetworkAddress = 2;
constexpr uint8_t kLastNetworkAddress = 252;

bool sCollectSpec(const linkSpec* spec, bool* found, void* reference)
{
    std::vector<DeviceInfo>* devices = static_cast<std::vector<DeviceInfo>*>(reference);
    DeviceInfo info;
    info.spec = *spec;
    devices->push_back(info);
    *found = true;
    return true;
}

struct RouterSearch {
    uint32_t serial_number;
    linkType transport;
    linkType searching;
};

bool sFindRouter(const linkSpec* spec, bool* found, void* reference)
{
    RouterSearch* search = static_cast<RouterSearch*>(reference);
    if (spec->serialNumber != search->serial_number) return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             static_cast<int>(search->searching));
    search->transport = search->searching;
    *found = true;
    return false;
}

// Reads version, module and router address into info; the first failing
// query's code, else aErrNone.
aErr sGetVersion(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    aErr err = system.getVersion(&version);
    if (err != aErrNone) return err;
    info.version_major = aVersion_ParseMajor(version);
    info.version_minor = aVersion_ParseMinor(version);
    info.version_patch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone) return err;
    info.spec.moduleAddress = address;
    err = system.getRouter(&address);
    if (err != aErrNone) return err;
    info.spec.routerAddress = address;
    return aErrNone;
}

// The module's firmware build number; 0 when unknown.
uint32_t sGetBuildNumber(Module& module)
{
    Link* link = module.getLink();
    if (link == nullptr) return 0;
    const uint8_t query = kBuildQuery;
    if (link->sendPacket(module.getModuleAddress(), kBuildCommand, 1, &query) != aErrNone) return 0;
    const uint8_t match[2] = {kBuildCommand, kBuildQuery};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAX_DATA];
    if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone) return 0;
    if (length != kBuildReplyLength) return 0;
    return aUEI_RetrieveInt(reply + 2);
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType transport)
{
    std::vector<DeviceInfo> devices;
    std::vector<linkType> transports;
    if (transport == INVALID)
        transports = {USB, TCPIP};
    else
        transports = {transport};
    for (linkType t : transports) aDiscovery_EnumerateModules(t, sCollectSpec, &devices);

    for (DeviceInfo& info : devices) {
        info.model_name = aDefs_GetModelName(info.spec.model);
        Module module(2, 0);
        aErr err = module.connectFromSpec(info.spec);
        if (err != aErrNone) {
            info.error = err;
        } else {
            info.build = sGetBuildNumber(module);
            info.error = sGetVersion(module, info);
        }
        module.disconnect();
    }
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_KSNetwork_Devices(uint32_t router_serial_number, linkType transport)
{
    std::vector<DeviceInfo> devices;
    if (transport == INVALID) {
        RouterSearch search{router_serial_number, INVALID, USB};
        aDiscovery_EnumerateModules(USB, sFindRouter, &search);
        if (search.transport == INVALID) {
            search.searching = TCPIP;
            aDiscovery_EnumerateModules(TCPIP, sFindRouter, &search);
        }
        transport = search.transport;
    }

    linkSpec* found = aDiscovery_FindModule(transport, router_serial_number);
    if (found == nullptr) return devices;
    linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);

    Module router(2, 0);
    SystemClass routerSystem;
    if (router.connectFromSpec(routerSpec) != aErrNone) {
        router.disconnect();
        return devices;
    }
    routerSystem.init(&router, 0);
    if (routerSystem.routeToMe(1) != aErrNone) {
        router.disconnect();
        return devices;
    }

    for (unsigned address = kFirstNetworkAddress; address <= kLastNetworkAddress; address += 2) {
        Module module(static_cast<uint8_t>(address), 0);
        if (module.connectThroughLinkModule(&router) != aErrNone) {
            module.disconnect();
            continue;
        }
        SystemClass system;
        system.init(&module, 0);
        uint32_t serial = 0;
        if (system.getSerialNumber(&serial) != aErrNone) {
            module.disconnect();
            continue;
        }
        DeviceInfo info;
        info.spec = routerSpec;
        info.spec.type = routerSpec.type;
        info.spec.serialNumber = serial;
        info.spec.moduleAddress = address;
        info.spec.routerAddress = router.getModuleAddress();
        info.spec.routerSerialNumber = router_serial_number;
        info.spec.model = 0;
        info.build = sGetBuildNumber(module);
        info.error = sGetVersion(module, info);
        uint8_t model = 0;
        aErr err = system.getModel(&model);
        if (err == aErrNone) {
            info.spec.model = model;
            info.model_name = aDefs_GetModelName(model);
        } else {
            info.error = err;
        }
        devices.push_back(info);
        module.disconnect();
    }

    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}
