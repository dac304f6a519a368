#include "sim/SimKeyTable.h"

#include <cstdio>
#include <cstring>

bool SimLoadKeyTable(unsigned char table[64]) {
    std::memset(table, 0, 64);
#ifdef KV_KEY_TABLE_FILE
    FILE* file = std::fopen(KV_KEY_TABLE_FILE, "rb");
    if (file == nullptr)
        return false;
    unsigned char buffer[65];
    size_t got = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
    if (got != 64)
        return false;
    std::memcpy(table, buffer, 64);
    return true;
#else
    return false;
#endif
}
