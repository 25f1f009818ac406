#include "LiveDevices.h"

void LiveDevices::Add(const COstrelDevice *device) {
    std::unique_lock<std::shared_mutex> lock(Mutex());
    Devices().push_back(device);
}

void LiveDevices::Remove(const COstrelDevice *device) {
    std::unique_lock<std::shared_mutex> lock(Mutex());
    auto &devices = Devices();
    devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
}

std::shared_mutex &LiveDevices::Mutex() {
    static std::shared_mutex mutex;
    return mutex;
}

std::vector<const COstrelDevice *> &LiveDevices::Devices() {
    static std::vector<const COstrelDevice *> devices;
    return devices;
}
