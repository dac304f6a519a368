#include "sim/SimKeyTable.h"

#include <cstring>

bool SimLoadKeyTable(unsigned char table[64]) {
    std::memcpy(table, gSimKeyTable, sizeof gSimKeyTable);
    return true;
}
