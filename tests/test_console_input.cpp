// The shared console helpers: menu frame, key, answer and number reading,
// and how waiting input is discarded on a terminal and on scripted input.
#include "app/FwDn.h"
#include "sim/VirtualLine.h"
#include "support/ConsoleChild.h"
#include "support/TtyScreen.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

// Reads keys until the input ends; returns them as text.
int ReadKeysInto(std::string* keys) {
    char key = 0;
    while (ReadMenuKey(&key))
        *keys += key;
    return InputEnded() ? 1 : 0;
}

std::string KeysOf(const std::string& input) {
    ChildResult r = RunConsoleChild(input, []() {
        std::string keys;
        int ended = ReadKeysInto(&keys);
        printf("%s", keys.c_str());
        return ended;
    });
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.result, 1);
    return r.output;
}

} // namespace

TEST(MenuFrame, EveryLineIsANewlineAndFiftyCharacters) {
    ChildResult r = RunConsoleChild("", []() {
        const char* options[] = {"\n *  1 : A                                       ",
                                 "\n *  ANY KEY : Quit                              "};
        DrawMenuFrame("\n *  TITLE                                         ", options, 2);
        return 0;
    });
    ASSERT_TRUE(r.finished);
    const std::string border = "\n *************************************************";
    const std::string empty = "\n *                                                ";
    EXPECT_EQ(r.output, border + "\n *  TITLE                                         " + empty +
                            "\n *  1 : A                                       " +
                            "\n *  ANY KEY : Quit                              " + empty + border +
                            "\n# ");
    EXPECT_EQ(border.size(), 51u);
    EXPECT_EQ(empty.size(), 51u);
}

TEST(MenuKey, BlanksAreSkippedAndTheRestOfTheLineIsDropped) {
    // Blanks and empty lines before a key are skipped; "12" is the key 1
    // and its 2 goes with the rest of the line; a key is case-sensitive.
    EXPECT_EQ(KeysOf("  1\n12\n\n\n  \tq\nQx\n"), "11qQ");
    // The last key need not end in a newline.
    EXPECT_EQ(KeysOf("2"), "2");
    EXPECT_EQ(KeysOf(""), "");
    EXPECT_EQ(KeysOf("\n \n"), "");
}

TEST(ScriptedInput, AnswersFileDrivesPromptsLineByLine) {
    // A key, its menu's port prompt, the path prompt and a yes/no answer, as
    // a technician would type them one by one.
    ChildResult r = RunConsoleChild("12\n/dev/ttyUSB1\n\nyes\nn\nq\n", []() {
        char key = 0;
        char port[100] = "/dev/ttyS4";
        char path[256] = "old.bin";
        if (!ReadMenuKey(&key) || key != '1')
            return 1;
        if (SetComport(port) != 12)
            return 2;
        if (SetFilePath(1, path) != 7)
            return 3;
        if (ReadAnswer() != 'y') // "yes": only its first character counts
            return 4;
        if (ReadAnswer() != 'n')
            return 5;
        if (!ReadMenuKey(&key) || key != 'q')
            return 6;
        if (ReadMenuKey(&key) || ReadAnswer() != EOF || SetComport(port) != 0)
            return 7;
        return InputEnded() ? 0 : 8;
    });
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.result, 0);
}

TEST(ScriptedInput, AnswerReadsEnterAsNewlineAndEndOfInputAsEof) {
    ChildResult r = RunConsoleChild("\nY", []() {
        int first = ReadAnswer();
        int second = ReadAnswer();
        int third = ReadAnswer();
        return (first == '\n' && second == 'Y' && third == EOF) ? 0 : 1;
    });
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.result, 0);
}

TEST(ScriptedInput, NumbersAsTheCassettePromptReadsThem) {
    ChildResult r = RunConsoleChild(" \r\n  3\n-1\nx\n2\n99999999999\n+6", []() {
        std::ostringstream log;
        int value = 0;
        char key = 0;
        // A blank line is an entry that is no number, not a line to skip.
        log << ReadNumber(&value) << ':' << value << ' ';
        log << ReadNumber(&value) << ':' << value << ' '; // 3
        log << ReadNumber(&value) << ':' << value << ' '; // -1
        value = 42;
        log << ReadNumber(&value) << ':' << value << ' '; // x: not a number
        // The x stays unread until the next discard: the menu key that
        // follows is read from the next line.
        log << (ReadMenuKey(&key) ? key : '!') << ' ';
        log << ReadNumber(&value) << ':' << (value == INT_MAX) << ' ';
        log << ReadNumber(&value) << ':' << value << ' ';
        log << ReadNumber(&value);
        printf("%s", log.str().c_str());
        return 0;
    });
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.output, "0:0 1:3 1:-1 0:42 2 1:1 1:6 -1");
}

TEST(TerminalInput, KeysTypedAheadAreDiscarded) {
    // On a terminal, whatever was typed before a prompt is thrown away:
    // both what the program's stream took along with the key and what the
    // terminal still queues from keys typed during a slow action. The same
    // bytes as scripted input would be read as the next answers.
    VirtualLine line;
    ASSERT_TRUE(line.ok());
    TtyChild child = StartConsoleChildOnTty(line.slavePath(), []() {
        char key = 0;
        char port[100] = "/dev/ttyS4";
        printf("# ");
        if (!ReadMenuKey(&key) || key != '1')
            return 1;
        printf("busy\n");
        fflush(stdout);
        usleep(300000); // a slow query, during which the technician types on
        SetComport(port);
        printf("<%s>", port);
        fflush(stdout);
        return 0;
    });
    ASSERT_GT(child.pid, 0);
    TtyScreen screen(line, 5000);
    ASSERT_TRUE(screen.waitFor("# ")) << screen.seen;
    screen.type("1\n/dev/typed_with_the_key\n"); // one read takes both lines
    ASSERT_TRUE(screen.waitFor("busy")) << screen.seen;
    screen.type("/dev/typed_while_busy\n"); // still queued in the terminal
    ASSERT_TRUE(screen.waitFor(" - Input Port Name : ")) << screen.seen;
    screen.type("/dev/ttyUSB7\n");
    screen.waitFor(">");
    ChildResult r = FinishConsoleChild(child);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.result, 0);
    EXPECT_NE(screen.seen.find("</dev/ttyUSB7>"), std::string::npos) << screen.seen;
}

TEST(ScriptedInput, AnswersFileWithCrLfLineEnds) {
    ChildResult r = RunConsoleChild("1\r\n/dev/ttyUSB1\r\ny\r\n\r\n\r\nq\r\n", []() {
        char key = 0;
        char port[100] = "/dev/ttyS4";
        char path[256] = "old.bin";
        if (!ReadMenuKey(&key) || key != '1')
            return 1;
        if (SetComport(port) != 12 || strcmp(port, "/dev/ttyUSB1") != 0)
            return 2;
        if (ReadAnswer() != 'y')
            return 3;
        if (SetFilePath(1, path) != 7) // an empty line keeps the path
            return 4;
        if (ReadAnswer() != '\n') // an empty answer is ENTER
            return 7;
        if (!ReadMenuKey(&key) || key != 'q')
            return 5;
        return ReadMenuKey(&key) ? 6 : 0;
    });
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.result, 0);
}
