// Result and hint texts that the menus print and the command line reports,
// kept in one place so that both say exactly the same words.
#ifndef KV_APP_MENUTEXTS_H
#define KV_APP_MENUTEXTS_H

// A version or cassette request that found no port to open.
const char* const CANNOT_OPEN_PORT_TEXT =
    " Cannot open the serial port.\n Please, check that the serial port in use and try again...";
// A version or cassette request that got no proper answer.
const char* const NO_ANSWER_TEXT = " The serial port could not be opened or no response.\n"
                                   " Please, verify the online mode settings and the serial port.\n"
                                   " Reset device then try again...";
// How to put each device into online mode (version, cassette number) and
// into boot mode (download).
const char* const RPU_ONLINE_HINT =
    " Online mode setting:\n Move No.1 DIP switch(DIP 1) to the OFF and press the Reset button";
const char* const CDU_ONLINE_HINT =
    " Online mode setting:\n Move No.1 DIP switch(DIP 1) to the ON and press the Reset button";
const char* const RPU_BOOT_HINT =
    " Please check if the RPU is in BOOT MODE before downloading.\n"
    " Boot mode setting:\n Move No.1 DIP switch(DIP 1) to the ON and press the Reset button";
const char* const CDU_BOOT_HINT =
    " Please check if the CDU is in BOOT MODE before downloading.\n"
    " Boot mode setting:\n"
    " Move all 4 DIP switches(DIP 1,2,3,4) to the OFF and press the Reset button";
// The version lines (the menus end each with a newline): printer version
// and CRC text; dispenser version information and its fifth character, the
// cassette number.
const char* const RPU_VERSION_FORMAT = " Current F/W Ver : %s, CRC : 0x%s";
const char* const CDU_VERSION_FORMAT = " Current F/W Ver : %s, CST : %c";
// A dispenser file that is missing or holds no version code.
const char* const NOT_FIRMWARE_TEXT = " The file was not found or it is not a firmware file";
// A file refused by the printer download before anything is written.
const char* const NOT_PRINTER_FIRMWARE_TEXT =
    " This file is not printer firmware. Nothing was written.";

// The menus' message of a download result code (app/action/Outcome.cpp).
const char* ResultMessageText(int nResult);

#endif
