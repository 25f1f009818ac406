/* A plain C host of the built library: proves the public header compiles as
 * C and that the exported lifecycle behaves as documented. */
#include "Ostrel_lib.h"

#include <stdio.h>

static int failures = 0;

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            printf("FAILED: %s (line %d)\n", #condition, __LINE__);                                                    \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

int main(void) {
    short major = -1, minor = -1;
    OstrelLibrary first, second;
    char why[256];

    CHECK(Ostrel_GetDLLVersion(NULL, &major, &minor) == 0);
    CHECK(major == 0 && minor == 73);

    first = Ostrel_Init();
    second = Ostrel_Init();
    CHECK(first != NULL);
    CHECK(first == second);
    /* A successful Ostrel_Init leaves no reason behind. */
    why[0] = 'x';
    CHECK(Ostrel_GetInitFailure(why, sizeof why) == 0 && why[0] == '\0');
    CHECK(Ostrel_GetInitFailure(NULL, 8) == -1);

    CHECK(Ostrel_Uninit(NULL) == -1);
    CHECK(Ostrel_Uninit(first) == 0);
    CHECK(Ostrel_Uninit(first) == -1);

    printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
    return failures == 0 ? 0 : 1;
}
