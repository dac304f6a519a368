// The supplied data as the virtual devices hold it: their own copies of the
// key table and loader image the build embeds (the same data files as the
// tool's), so that nothing is read from the source tree at run time.
#ifndef KV_SIM_SIMKEYTABLE_H
#define KV_SIM_SIMKEYTABLE_H

extern const unsigned char gSimKeyTable[64];
extern const unsigned char gSimLoaderImage[2472];

// Fills `table` with the 64 bytes of the key table; always true.
bool SimLoadKeyTable(unsigned char table[64]);

#endif
