// The dispenser key table as the virtual dispenser holds it: read from the
// data file the build embeds into the tool (KV_KEY_TABLE_FILE).
#ifndef KV_SIM_SIMKEYTABLE_H
#define KV_SIM_SIMKEYTABLE_H

// Fills `table` with the 64 bytes of the key table file; false (table zeroed)
// when the file is missing or has another size.
bool SimLoadKeyTable(unsigned char table[64]);

#endif
