// Test programs run side by side (CTest starts several at once), and some
// tests hold the device-list mutex on purpose. Each test process therefore
// gives the library a device-list mutex name of its own; a child process that
// must share it is handed TestDeviceListMutexName().
#pragma once

#include <string>

std::wstring TestDeviceListMutexName();
