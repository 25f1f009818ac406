// ostrel: a host program on the library's exported interface.
#include "Ostrel_lib.h"

#include <cstdio>

int main() {
    short major = -1;
    short minor = -1;
    Ostrel_GetDLLVersion(nullptr, &major, &minor);
    std::printf("Ostrel_lib version %d.%d\n", major, minor);

    OstrelLibrary lib = Ostrel_Init();
    if (lib == nullptr) {
        std::printf("Ostrel_Init failed: no usable Bluetooth stack\n");
        return 1;
    }
    std::printf("Ostrel_Init returned a library handle\n");
    const int result = Ostrel_Uninit(lib);
    std::printf("Ostrel_Uninit returned %d\n", result);
    return result == 0 ? 0 : 1;
}
