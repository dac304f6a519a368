// The one table from an action's ending to its exit status, texts and record.
#include "app/action/Outcome.h"

#include "app/text/MenuTexts.h"
#include "fwdn/DnResult.h"
#include "serial/Link.h"

namespace {

const char* const NOT_TAKEN_HINT =
    " The dispenser reports another cassette number than the one set.";

const char* const CANCEL_TEXT = " Cancel firmware download.";

#define BOTH(text)                                                                                 \
    { text, text }

const OutcomeRow TABLE[AR_COUNT] = {
    // result, exit, menu text (printer, dispenser), hint, menu hint, ok, code, error
    {AR_ANSWERED, EXIT_OK, BOTH(nullptr), BOTH(nullptr), false, true, true, nullptr},
    {AR_PORT_CLOSED, EXIT_PORT_OPEN, BOTH(CANNOT_OPEN_PORT_TEXT), BOTH(nullptr), false, false, true,
     nullptr},
    {AR_NO_ANSWER,
     EXIT_NO_ANSWER,
     BOTH(NO_ANSWER_TEXT),
     {RPU_ONLINE_HINT, CDU_ONLINE_HINT},
     true,
     false,
     true,
     nullptr},
    {AR_NOT_TAKEN, EXIT_OTHER, BOTH(nullptr), BOTH(NOT_TAKEN_HINT), false, false, true, nullptr},
    {AR_DOWNLOADED, -DN_OK,
     BOTH(" Download operation finished successfully.\n"
          " Please change the device to online mode and check the version."),
     BOTH(nullptr), false, true, true, nullptr},
    {AR_FILE_NOT_FOUND, -DN_FILE_NOT_FOUND,
     BOTH(" F/W File not found.\n Please check the firmware file and try again."), BOTH(nullptr),
     false, false, true, nullptr},
    {AR_FILE_READ_FAIL, -DN_FILE_READ_FAIL,
     BOTH(" Unable to read file.\n Please check the firmware file and try again."), BOTH(nullptr),
     false, false, true, nullptr},
    {AR_NO_RESPONSE,
     -DN_NO_RESPONSE,
     BOTH(" No response from the target.\n"
          " The Boot loader can not be started.\n"
          " Please, check the boot mode configuration and the flash protection status.\n"
          " Reset device then try again..."),
     {RPU_BOOT_HINT, CDU_BOOT_HINT},
     false,
     false,
     true,
     nullptr},
    {AR_DOWNLOAD_FAIL, -DN_DOWNLOAD_FAIL,
     BOTH(" Failed to firmware data download.\n Please reset the board and try again."),
     BOTH(nullptr), false, false, true, nullptr},
    {AR_VERIFY_FAIL, -DN_VERIFY_FAIL,
     BOTH(" Failed to firmware data verify.\n Please reset the board and try again."),
     BOTH(nullptr), false, false, true, nullptr},
    {AR_PORT_OPEN_FAIL, -DN_PORT_OPEN_FAIL,
     BOTH(" Cannot open the serial port.\n"
          " The port may be used by another application\n"
          " Please, check that the serial port in use and try again..."),
     BOTH(nullptr), false, false, true, nullptr},
    {AR_UNKNOWN_FAIL, EXIT_OTHER,
     BOTH(" An unknown error has occurred.\n Reset device then try again"), BOTH(nullptr), false,
     false, true, nullptr},
    {AR_NOT_FOR_DEVICE,
     EXIT_NOT_FIRMWARE,
     {NOT_PRINTER_FIRMWARE_TEXT, NOT_FIRMWARE_TEXT},
     BOTH(nullptr),
     false,
     false,
     false,
     nullptr},
    {AR_FILE_MISSING, -DN_FILE_NOT_FOUND, BOTH(NOT_FIRMWARE_TEXT), BOTH(nullptr), false, false,
     false, nullptr},
    {AR_FILE_UNUSABLE, -DN_FILE_READ_FAIL, BOTH(NOT_FIRMWARE_TEXT), BOTH(nullptr), false, false,
     false, nullptr},
    {AR_CANCELLED, EXIT_NONE, BOTH(CANCEL_TEXT), BOTH(nullptr), false, false, false, "cancelled"},
    {AR_NOT_APPROVED, EXIT_NOT_APPROVED, BOTH(NOT_APPROVED_TEXT), BOTH(nullptr), false, false,
     false, nullptr},
    // The texts of these are the device's answers, told by the front end.
    {AR_PROBED, EXIT_OK, BOTH(nullptr), BOTH(nullptr), false, true, true, nullptr},
    {AR_FLASH_EQUAL, EXIT_OK, BOTH(nullptr), BOTH(nullptr), false, true, true, nullptr},
    {AR_FLASH_DIFFERS, -DN_VERIFY_FAIL, BOTH(nullptr), BOTH(nullptr), false, false, true, nullptr},
    {AR_READ_PROTECTED, EXIT_PROTECTED, BOTH(nullptr), BOTH(nullptr), false, false, true, nullptr},
    {AR_LOADER_ROAD, EXIT_NOT_FIRMWARE, BOTH(nullptr), BOTH(nullptr), false, false, false, nullptr},
};

} // namespace

const OutcomeRow& OutcomeRowOf(ActionResult result) {
    return TABLE[result >= 0 && result < AR_COUNT ? result : AR_UNKNOWN_FAIL];
}

ActionResult QueryResult(int linkCode) {
    if (linkCode == LINK_OK)
        return AR_ANSWERED;
    return linkCode == LINK_PORT_FAIL ? AR_PORT_CLOSED : AR_NO_ANSWER;
}

ActionResult DownloadResult(int dnCode) {
    if (dnCode > DN_OK || dnCode < DN_PORT_OPEN_FAIL)
        return AR_UNKNOWN_FAIL;
    return static_cast<ActionResult>(AR_DOWNLOADED - dnCode);
}

const char* ResultMessageText(int nResult) {
    return OutcomeRowOf(DownloadResult(nResult)).text[DEVICE_RPU];
}
