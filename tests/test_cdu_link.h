// Pieces shared by the dispenser link tests, fast and slow.
#ifndef KV_TESTS_TEST_CDU_LINK_H
#define KV_TESTS_TEST_CDU_LINK_H

#include <gtest/gtest.h>

#include "cdu/CDUCom.h"
#include "sim/VirtualDispenser.h"

// Starts the dispenser on `port` refusing scrambled requests as `refuse`: the
// version is read all the same by a retry in plain (two requests taken, the
// scrambled one and the plain one), and so is the cassette number set.
inline void ExpectPlainRetryServes(VirtualDispenser& dispenser, char* port,
                                   DispenserConfig::Refuse refuse, int cassette) {
    DispenserConfig config;
    config.refuseScrambled = refuse;
    dispenser.setConfig(config);
    dispenser.start();
    unsigned char version[14] = {0};
    ASSERT_EQ(0, CDU_InitGetVersion(1, port, 9600, version));
    EXPECT_STREQ("DSP12A0105R00", reinterpret_cast<char*>(version));
    ASSERT_EQ(2u, dispenser.scrambledLog().size());
    EXPECT_EQ(0, CDU_InitSetInformation(1, port, 9600, cassette));
    EXPECT_EQ(cassette, dispenser.cassette());
}

#endif
