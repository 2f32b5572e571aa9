#ifndef KS_MODULE_H
#define KS_MODULE_H

#include <cstddef>
#include <cstdint>

#include "Link.h"
#include "aError.h"
#include "aLinkSpec.h"

namespace Orvantis {
namespace Keystrand {

// A module: owns one Link and its module address. With networking mode on
// (the default) every connect asks the module for its address and adopts it.
class Module {
public:
    Module(uint8_t moduleAddress, uint8_t model);
    Module(uint8_t moduleAddress, bool networkingMode, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // discoverAndConnect for a serial number; aErrParam for serial 0.
    aErr connect(linkType type, uint32_t serialNumber);
    // Finds the module by discovery and connects; then the address query.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // Connects with the given spec; aErrBusy when already connected.
    aErr connectFromSpec(const linkSpec& spec);
    // Connects over the router module's link (the core shares it) and keeps
    // this module's own address (networking mode goes off).
    aErr connectThroughLinkModule(Module* router);
    // Connects again with the held spec; then the address query.
    aErr reconnect();
    aErr disconnect();
    bool isConnected();
    // PACKET_ERROR without a link.
    linkStatus getStatus();

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    void setNetworkingMode(bool on);
    Link* getLink();
    // aErrNotReady without a link.
    aErr getLinkSpecifier(linkSpec* spec);

    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Echo test: command 23 with the bytes; the reply must echo them exactly
    // (aErrIO otherwise).
    aErr debug(const uint8_t* bytes, uint8_t length);

private:
    void autoAddressQuery();

    Link* m_link;
    uint8_t m_address;
    bool m_networking;
    uint8_t m_model;
};

}  // namespace Keystrand
}  // namespace Orvantis

#endif
