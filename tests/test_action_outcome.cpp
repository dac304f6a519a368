// The outcome table: every way an action ends to its exit status, its
// menu text, its hint and its record; and the codes that lead there.
#include "app/action/Outcome.h"
#include "support/RunTool.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// The first line of a text, "" for none.
std::string FirstLine(const char* text) {
    if (text == nullptr)
        return "";
    std::string line(text);
    return line.substr(0, line.find('\n'));
}

} // namespace

TEST(ActionOutcome, EveryResultToItsExitTextAndRecord) {
    struct Case {
        ActionResult result;
        int exit;
        const char* rpuText; // first lines; "" none
        const char* cduText;
        const char* cduHint;
        bool ok, code;
        const char* error;
    };
    const Case cases[] = {
        {AR_ANSWERED, 0, "", "", "", true, true, nullptr},
        {AR_PORT_CLOSED, 6, " Cannot open the serial port.", " Cannot open the serial port.", "",
         false, true, nullptr},
        {AR_NO_ANSWER, 7, " The serial port could not be opened or no response.",
         " The serial port could not be opened or no response.", " Online mode setting:", false,
         true, nullptr},
        {AR_NOT_TAKEN, 9, "", "",
         " The dispenser reports another cassette number than the one set.", false, true, nullptr},
        {AR_DOWNLOADED, 0, " Download operation finished successfully.",
         " Download operation finished successfully.", "", true, true, nullptr},
        {AR_FILE_NOT_FOUND, 1, " F/W File not found.", " F/W File not found.", "", false, true,
         nullptr},
        {AR_FILE_READ_FAIL, 2, " Unable to read file.", " Unable to read file.", "", false, true,
         nullptr},
        {AR_NO_RESPONSE, 3, " No response from the target.", " No response from the target.",
         " Please check if the CDU is in BOOT MODE before downloading.", false, true, nullptr},
        {AR_DOWNLOAD_FAIL, 4, " Failed to firmware data download.",
         " Failed to firmware data download.", "", false, true, nullptr},
        {AR_VERIFY_FAIL, 5, " Failed to firmware data verify.", " Failed to firmware data verify.",
         "", false, true, nullptr},
        {AR_PORT_OPEN_FAIL, 6, " Cannot open the serial port.", " Cannot open the serial port.", "",
         false, true, nullptr},
        {AR_UNKNOWN_FAIL, 9, " An unknown error has occurred.", " An unknown error has occurred.",
         "", false, true, nullptr},
        {AR_NOT_FOR_DEVICE, 8, " This file is not printer firmware. Nothing was written.",
         " The file was not found or it is not a firmware file", "", false, false, nullptr},
        {AR_FILE_MISSING, 1, " The file was not found or it is not a firmware file",
         " The file was not found or it is not a firmware file", "", false, false, nullptr},
        {AR_FILE_UNUSABLE, 2, " The file was not found or it is not a firmware file",
         " The file was not found or it is not a firmware file", "", false, false, nullptr},
        {AR_CANCELLED, EXIT_NONE, " Cancel firmware download.", " Cancel firmware download.", "",
         false, false, "cancelled"},
        {AR_NOT_APPROVED, 10, " This file is not approved for this unit. Nothing was written.",
         " This file is not approved for this unit. Nothing was written.", "", false, false,
         nullptr},
        // Questions to the ROM bootloader: their texts are the device's answers.
        {AR_PROBED, 0, "", "", "", true, true, nullptr},
        {AR_FLASH_EQUAL, 0, "", "", "", true, true, nullptr},
        {AR_FLASH_DIFFERS, 5, "", "", "", false, true, nullptr},
        {AR_READ_PROTECTED, 11, "", "", "", false, true, nullptr},
        {AR_LOADER_ROAD, 8, "", "", "", false, false, nullptr},
    };
    ASSERT_EQ(sizeof cases / sizeof cases[0], static_cast<size_t>(AR_COUNT));
    for (const Case& c : cases) {
        const OutcomeRow& row = OutcomeRowOf(c.result);
        SCOPED_TRACE(c.result);
        EXPECT_EQ(row.result, c.result);
        EXPECT_EQ(row.exit, c.exit);
        EXPECT_EQ(FirstLine(row.text[DEVICE_RPU]), c.rpuText);
        EXPECT_EQ(FirstLine(row.text[DEVICE_CDU]), c.cduText);
        EXPECT_EQ(FirstLine(row.hint[DEVICE_CDU]), c.cduHint);
        EXPECT_EQ(row.ok, c.ok);
        EXPECT_EQ(row.code, c.code);
        EXPECT_STREQ(row.error, c.error);
    }
    // The link codes of a request and the result codes of a download.
    const std::pair<int, ActionResult> queries[] = {{0, AR_ANSWERED},
                                                    {-1, AR_NO_ANSWER},
                                                    {-2, AR_NO_ANSWER},
                                                    {-3, AR_NO_ANSWER},
                                                    {-4, AR_PORT_CLOSED}};
    for (const auto& q : queries)
        EXPECT_EQ(QueryResult(q.first), q.second) << q.first;
    for (int code = 1; code >= -7; --code)
        EXPECT_EQ(OutcomeRowOf(DownloadResult(code)).exit, code <= 0 && code >= -6 ? -code : 9)
            << code;
}

// The command line takes paths as long as the menus do, and no longer.
TEST(ActionOutcome, CommandLinePathLimitIsTheMenus) {
    ToolOptions options;
    options.captureErrors = true;
    options.args = {"rpu", "download", "-p", "/nonexistent/port", std::string(255, 'f')};
    ToolRun longer = RunTool("", options);
    EXPECT_EQ(longer.exitCode, 64);
    EXPECT_EQ(longer.errors,
              "kvfwdn: the file path must be at most 254 characters (see kvfwdn --help)\n");
    options.args.back() = std::string(254, 'f');
    EXPECT_EQ(RunTool("", options).exitCode, 1); // taken: the file is not found
}
