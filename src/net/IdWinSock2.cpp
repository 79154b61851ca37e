#include "IdWinSock2.h"

int32_t StartupSocketLibrary(uint16_t AVersion) {
    (void)AVersion;
    return 0;
}

void UnloadSocketLibrary() {}
