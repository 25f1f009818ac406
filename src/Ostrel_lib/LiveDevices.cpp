#include "LiveDevices.h"

void LiveDevices::Add(const COstrelDevice *device) {
    ExclusiveLock lock;
    Devices().push_back(device);
}

void LiveDevices::Remove(const COstrelDevice *device) noexcept {
    ExclusiveLock lock;
    auto &devices = Devices();
    devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
}

std::shared_mutex &LiveDevices::Mutex() {
    static std::shared_mutex mutex;
    return mutex;
}

LiveDevices::ChangeGate &LiveDevices::Gate() {
    static ChangeGate gate;
    return gate;
}

std::vector<const COstrelDevice *> &LiveDevices::Devices() {
    static std::vector<const COstrelDevice *> devices;
    return devices;
}
