// The devices kvsim serves, in the order it starts them. Adding a device:
// write kvsim/Kvsim<Device>.cpp with its start function and usage text, declare
// them in kvsim/KvsimDevice.h and add one line here.
#include "kvsim/KvsimDevice.h"

const KvsimDeviceType gKvsimDeviceTypes[] = {
    {"rpu", gKvsimRpuUsage, KvsimCheckRpu, KvsimStartRpu, gKvsimRpuCommands, gKvsimRpuFiles,
     gKvsimRpuResults},
    {"cdu", gKvsimCduUsage, KvsimCheckCdu, KvsimStartCdu, gKvsimCduCommands, gKvsimCduFiles,
     gKvsimCduResults},
};

const int gKvsimDeviceTypeCount =
    static_cast<int>(sizeof(gKvsimDeviceTypes) / sizeof(gKvsimDeviceTypes[0]));
