#include "Module.h"

#include <cstring>

#include "aTime.h"

namespace Orvantis {
namespace Keystrand {

namespace {
// The address query is retried while the module is silent: 4 tries, 5 ms
// apart, each waiting up to a second for the reply.
constexpr int kAddressTries = 4;
constexpr uint32_t kAddressRetryMs = 5;
constexpr uint8_t kDebugCommand = 23;
}  // namespace

Module::Module(uint8_t moduleAddress, uint8_t model) : Module(moduleAddress, true, model) {}

Module::Module(uint8_t moduleAddress, bool networkingMode, uint8_t model)
    : m_link(new Link("Link")), m_address(moduleAddress), m_networking(networkingMode), m_model(model)
{
}

Module::~Module()
{
    delete m_link;
}

void Module::autoAddressQuery()
{
    if (!m_networking || m_link == nullptr) return;
    uint8_t address = 0;
    aErr err = aErrNotReady;
    for (int i = 0; i < kAddressTries && err == aErrNotReady; ++i) {
        err = m_link->getModuleAddress(&address);
        if (err == aErrNotReady) aTime_MSSleep(kAddressRetryMs);
    }
    if (err == aErrNone && address != 0 && address != m_address) m_address = address;
}

aErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (serialNumber == 0) return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (m_link == nullptr) return aErrInitialization;
    aErr err = m_link->discoverAndConnect(type, serialNumber, m_model);
    autoAddressQuery();
    return err;
}

aErr Module::connectFromSpec(const linkSpec& spec)
{
    if (m_link == nullptr) return aErrInitialization;
    if (m_link->isConnected()) return aErrBusy;
    aErr err = m_link->setLinkSpecifier(spec);
    if (err != aErrNone) return err;
    err = m_link->connect();
    autoAddressQuery();
    return err;
}

aErr Module::connectThroughLinkModule(Module* router)
{
    if (router == nullptr) return aErrParam;
    if (m_link == nullptr) m_link = new Link("Link");
    linkSpec spec;
    aErr err = router->getLinkSpecifier(&spec);
    if (err != aErrNone) return err;
    err = m_link->setLinkSpecifier(spec);
    if (err != aErrNone) return err;
    err = m_link->connect();
    if (err == aErrNone) m_networking = false;
    return err;
}

aErr Module::reconnect()
{
    if (m_link == nullptr) return aErrInitialization;
    aErr err = m_link->connect();
    autoAddressQuery();
    return err;
}

aErr Module::disconnect()
{
    if (m_link == nullptr) return aErrInitialization;
    return m_link->disconnect();
}

bool Module::isConnected()
{
    return m_link != nullptr && m_link->isConnected();
}

linkStatus Module::getStatus()
{
    return m_link == nullptr ? PACKET_ERROR : m_link->getStatus();
}

uint8_t Module::getModuleAddress() const
{
    return m_address;
}
void Module::setModuleAddress(uint8_t address)
{
    m_address = address;
}
void Module::setNetworkingMode(bool on)
{
    m_networking = on;
}
Link* Module::getLink()
{
    return m_link;
}

aErr Module::getLinkSpecifier(linkSpec* spec)
{
    if (m_link == nullptr) return aErrNotReady;
    return m_link->getLinkSpecifier(spec);
}

aErr Module::enablePacketLog(const char* path)
{
    if (m_link == nullptr) return aErrConfiguration;
    return m_link->enablePacketLog(path);
}

aErr Module::disablePacketLog()
{
    if (m_link == nullptr) return aErrConfiguration;
    return m_link->disablePacketLog();
}

aErr Module::debug(const uint8_t* bytes, uint8_t length)
{
    if (m_link == nullptr) return aErrInitialization;
    aErr err = m_link->sendPacket(m_address, kDebugCommand, length, bytes);
    if (err != aErrNone) return err;
    uint8_t match = kDebugCommand;
    uint8_t size = 1;
    uint8_t reply[aPACKET_MAX_DATA];
    err = m_link->receivePacket(m_address, &match, &size, reply);
    if (err != aErrNone) return err;
    if (size != length + 1 || (length > 0 && memcmp(reply + 1, bytes, length) != 0)) return aErrIO;
    return aErrNone;
}

}  // namespace Keystrand
}  // namespace Orvantis
