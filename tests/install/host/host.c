/* A C host built against the installed library only: its header, and the
 * library found through pkg-config or find_package(Ostrel_lib). */
#include <Ostrel_lib.h>

#include <stdio.h>

int main(void) {
    short major = -1, minor = -1;
    if (Ostrel_GetDLLVersion(NULL, &major, &minor) != 0)
        return 1;
    printf("Ostrel_lib %d.%d\n", major, minor);
    return major == 0 && minor == 73 ? 0 : 1;
}
