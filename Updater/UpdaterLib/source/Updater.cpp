#include "Updater.h"

Updater::Updater(const std::string& server, const std::string& directory, UpdaterDisplayInterface& disp)
    : server_address(server), updater_directory(directory), display(disp)
{
}

void Updater::not_available(const char* command)
{
    display.message(UpdaterDisplayInterface::Error, "The %s command is not available yet", command);
}

bool Updater::Update_Firmware(uint32_t, uint32_t, const std::string&, uint8_t, uint32_t, bool)
{
    not_available("update");
    return false;
}

uint32_t Updater::Download_Firmware(uint32_t, const std::string&, bool, bool)
{
    not_available("get build");
    return 0;
}

BuildList Updater::Get_BuildList(uint32_t)
{
    not_available("list builds");
    return BuildList();
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType)
{
    not_available("discover");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_KSNetwork_Devices(uint32_t, linkType)
{
    not_available("discover");
    return {};
}

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&, uint32_t, bool)
{
    not_available("fingerprint");
    (void)device_type;
    return false;
}

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&, bool)
{
    not_available("recover");
    return false;
}
