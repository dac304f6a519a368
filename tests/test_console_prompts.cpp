// The two line prompts and the result messages, run in a child process with
// scripted standard input.
#include "app/FwDn.h"
#include "support/ConsoleChild.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

const char* const kPortHead = " *** Input serial port name ***\n"
                              " The currently saved port name is (%s).\n"
                              " Press ENTER to keep or input Port name to change.\n"
                              " - Input Port Name : ";

std::string PortHead(const std::string& saved) {
    char text[512];
    snprintf(text, sizeof text, kPortHead, saved.c_str());
    return text;
}

// The child prints the field after a marker line: moves it out of the
// output into `after`.
ChildResult TakeField(ChildResult r, std::string* after) {
    size_t mark = r.output.rfind("\n@@");
    if (mark != std::string::npos) {
        *after = r.output.substr(mark + 3);
        r.output.erase(mark);
    }
    return r;
}

// Runs SetComport on a field holding `saved`; returns the child's output and
// stores the result and the field as it ends.
ChildResult PortPrompt(const std::string& input, const std::string& saved, std::string* after) {
    // The field comes back through the output, after a marker line.
    ChildResult r = RunConsoleChild(input, [&saved]() {
        char port[100];
        memset(port, 'Z', sizeof port); // not zeroed: the prompt must not rely on it
        memcpy(port, saved.c_str(), saved.size() + 1);
        int len = SetComport(port);
        printf("\n@@%s", port);
        return len;
    });
    return TakeField(r, after);
}

ChildResult PathPrompt(const std::string& input, int select, const std::string& saved,
                       std::string* after) {
    ChildResult r = RunConsoleChild(input, [select, &saved]() {
        char path[256];
        memset(path, 0, sizeof path);
        memcpy(path, saved.c_str(), saved.size() + 1);
        int len = SetFilePath(select, path);
        printf("\n@@%s", path);
        return len;
    });
    return TakeField(r, after);
}

} // namespace

TEST(PortPrompt, EnterKeepsTheSavedNameAndANewNameReplacesIt) {
    std::string after;
    ChildResult keep = PortPrompt("\n", "/dev/ttyS4", &after);
    ASSERT_TRUE(keep.finished);
    EXPECT_EQ(keep.output, PortHead("/dev/ttyS4"));
    EXPECT_EQ(keep.result, 10);
    EXPECT_EQ(after, "/dev/ttyS4");

    ChildResult change = PortPrompt("/dev/ttyUSB0\n", "/dev/ttyS4", &after);
    ASSERT_TRUE(change.finished);
    EXPECT_EQ(change.result, 12);
    EXPECT_EQ(after, "/dev/ttyUSB0");

    // An empty saved name is shown as "()" and ENTER leaves nothing saved.
    ChildResult none = PortPrompt("\n", "", &after);
    EXPECT_EQ(none.output, PortHead(""));
    EXPECT_EQ(none.result, 0);
}

TEST(PortPrompt, NameLongerThanTheFieldIsRefusedAndTheSavedNameKept) {
    std::string after;
    std::string longest(99, 'a');
    ChildResult fits = PortPrompt(longest + "\n", "/dev/ttyS4", &after);
    EXPECT_EQ(fits.result, 99);
    EXPECT_EQ(after, longest);

    // Refused: the action that asked must end (-1).
    ChildResult tooLong = PortPrompt(std::string(100, 'b') + "\n", "/dev/ttyS4", &after);
    ASSERT_TRUE(tooLong.finished);
    EXPECT_EQ(tooLong.result, -1);
    EXPECT_EQ(after, "/dev/ttyS4");
    EXPECT_EQ(tooLong.output, PortHead("/dev/ttyS4") +
                                  " The port name is too long (99 characters at most). "
                                  "The saved port name is kept.\n");

    ChildResult huge = PortPrompt(std::string(300, 'c') + "\n", "/dev/ttyS3", &after);
    EXPECT_EQ(huge.result, -1);
    EXPECT_EQ(after, "/dev/ttyS3");
}

TEST(PortPrompt, TypedTextIsNeverAFormat) {
    std::string after;
    ChildResult r = PortPrompt("%s%n%x\n", "%d%n", &after);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.output, PortHead("%d%n"));
    EXPECT_EQ(after, "%s%n%x");
    EXPECT_EQ(r.result, 6);
}

TEST(PathPrompt, ExamplesOnlyWithoutASavedPath) {
    std::string after;
    ChildResult rpu = PathPrompt("fw.bin\n", 1, "", &after);
    ASSERT_TRUE(rpu.finished);
    EXPECT_EQ(rpu.output, " *** Input F/W file path ***\n"
                          " Enter the file path as a relative or absolute path.\n"
                          " (ex: /home/user/FW/VARNO_RPU94_20190819.bin)\n"
                          " (ex: ../FW/VARNO_RPU94_20190819.bin)\n"
                          " - Input F/W file path : ");
    EXPECT_EQ(rpu.result, 6);
    EXPECT_EQ(after, "fw.bin");

    ChildResult cdu = PathPrompt("\n", 2, "", &after);
    EXPECT_EQ(cdu.output, " *** Input F/W file path ***\n"
                          " Enter the file path as a relative or absolute path.\n"
                          " (ex: /home/user/FW/IMBRA2_0G2A09_20200122.bin)\n"
                          " (ex: ../FW/IMBRA2_0G2A09_20200122.bin)\n"
                          " - Input F/W file path : ");
    EXPECT_EQ(cdu.result, 0);

    ChildResult saved = PathPrompt("\n", 1, "../FW/a.bin", &after);
    EXPECT_EQ(saved.output, " *** Input F/W file path ***\n"
                            " The currently saved F/W file path is (../FW/a.bin).\n"
                            " Press ENTER to keep or input F/W file path to change.\n"
                            " - Input F/W file path : ");
    EXPECT_EQ(saved.result, 11);
    EXPECT_EQ(after, "../FW/a.bin");
}

TEST(PathPrompt, PathOver254CharactersIsRefusedWholeAndItsRestDropped) {
    std::string line;
    for (int i = 0; i < 300; ++i)
        line += static_cast<char>('a' + i % 26);
    ChildResult r = RunConsoleChild(
        line.substr(0, 254) + "\r\n" + line.substr(0, 255) + "\n" + line + "\nnext.bin\n", []() {
            char path[256] = {0};
            printf("%d", SetFilePath(1, path));
            printf("\n@@%s@@", path);
            printf("%d", SetFilePath(1, path));
            printf("%d", SetFilePath(1, path));
            printf("%d", SetFilePath(1, path));
            printf("\n@@%s@@", path);
            return 0;
        });
    ASSERT_TRUE(r.finished);
    const std::string refused = " The F/W file path is too long (254 characters at most). "
                                "The saved F/W file path is kept.\n";
    EXPECT_NE(r.output.find("254\n@@" + line.substr(0, 254) + "@@"), std::string::npos);
    EXPECT_NE(r.output.find(" - Input F/W file path : " + refused + "-1"), std::string::npos);
    EXPECT_NE(r.output.find(refused + "-1 *** Input"), std::string::npos);
    EXPECT_NE(r.output.find("8\n@@next.bin@@"), std::string::npos);
}

TEST(PromptInputEnd, EndedInputTakesNothingAndLastLineWithoutNewlineCounts) {
    std::string after;
    // Nothing left to read: 0 although a name is saved, and the name stays.
    ChildResult port = PortPrompt("", "/dev/ttyS4", &after);
    ASSERT_TRUE(port.finished);
    EXPECT_EQ(port.result, 0);
    EXPECT_EQ(after, "/dev/ttyS4");
    EXPECT_EQ(port.output, PortHead("/dev/ttyS4"));

    ChildResult path = PathPrompt("", 2, "fw.bin", &after);
    EXPECT_EQ(path.result, 0);
    EXPECT_EQ(after, "fw.bin");

    // A last line without its newline is a whole entry: no character lost.
    ChildResult last = PortPrompt("/dev/ttyUSB0", "/dev/ttyS4", &after);
    EXPECT_EQ(last.result, 12);
    EXPECT_EQ(after, "/dev/ttyUSB0");
    ChildResult one = PathPrompt("x", 1, "", &after);
    EXPECT_EQ(one.result, 1);
    EXPECT_EQ(after, "x");
}

TEST(ResultMessage, EveryCodeHasItsText) {
    struct Case {
        int code;
        const char* text;
    } cases[] = {
        {0, " Download operation finished successfully.\n"
            " Please change the device to online mode and check the version.\n"},
        {-1, " F/W File not found.\n Please check the firmware file and try again.\n"},
        {-2, " Unable to read file.\n Please check the firmware file and try again.\n"},
        {-3, " No response from the target.\n The Boot loader can not be started.\n"
             " Please, check the boot mode configuration and the flash protection status.\n"
             " Reset device then try again...\n"},
        {-4, " Failed to firmware data download.\n Please reset the board and try again.\n"},
        {-5, " Failed to firmware data verify.\n Please reset the board and try again.\n"},
        {-6, " Cannot open the serial port.\n The port may be used by another application\n"
             " Please, check that the serial port in use and try again...\n"},
        {-7, " An unknown error has occurred.\n Reset device then try again\n"},
        {1, " An unknown error has occurred.\n Reset device then try again\n"},
    };
    for (const Case& c : cases) {
        int code = c.code;
        ChildResult r = RunConsoleChild("", [code]() {
            DisplayResultMessage(code);
            return 0;
        });
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.output, c.text) << "code " << code;
    }
}
