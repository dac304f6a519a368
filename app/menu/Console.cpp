// The console helpers shared by the main menu and both device menus: menu
// frame, key, answer, number and line reading, the port-name and file-path
// prompts, and the download result messages.
#include "app/menu/Console.h"

#include "fwdn/DnResult.h"
#include "app/Interrupt.h"
#include "app/text/MenuTexts.h"
#include "app/action/PortName.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

namespace {

// ---- Where the console input stands ----------------------------------------
// All reads of standard input pass through ConsoleGetc, so these two flags
// always tell the truth about the stream.

// True while no unread rest of a line is pending: nothing has been read yet,
// or the last character taken was a newline.
bool gbAtLineStart = true;
// True once a read found the end of the input.
bool gbInputEnded = false;

int ConsoleGetc() {
    // Once standard output is lost nothing more is asked: the input ends.
    if (OutputLost())
        gbInputEnded = true;
    if (gbInputEnded)
        return EOF;
    int c = getchar();
    if (c == EOF)
        gbInputEnded = true;
    else
        gbAtLineStart = (c == '\n');
    return c;
}

// Puts back the one character just read (a character that ends a number).
void ConsoleUngetc(int c) {
    if (c != EOF)
        ungetc(c, stdin);
}

// Reads one line as fgets would into `buf` (of `size` bytes, zeroed) and
// drops its newline, and a CR before it (an answers file written with CR LF
// line ends; a terminal never passes the CR on). The rest of a line too long
// for the buffer is read and dropped, so it cannot become the next answer.
// Returns the length of the whole line without its line end, or -1 when the
// input ended before any character was read.
int ReadLine(char* buf, int size) {
    memset(buf, 0, static_cast<size_t>(size));
    DiscardWaitingInput();
    int len = 0;
    int c = ConsoleGetc();
    if (c == EOF)
        return -1;
    bool cr = false; // the last character taken was a CR
    while (c != EOF && c != '\n') {
        if (len < size - 1)
            buf[len] = static_cast<char>(c);
        cr = (c == '\r');
        ++len;
        c = ConsoleGetc();
    }
    if (cr) {
        --len;
        if (len < size - 1)
            buf[len] = '\0';
    }
    if (len >= size - 1)
        buf[size - 1] = '\0';
    return len;
}

// Shows a saved name no longer than its field, even if it lacks the
// terminator.
int SavedLength(const char* saved, size_t field) {
    return static_cast<int>(strnlen(saved, field - 1));
}

const size_t kPortField = kPortNameField;
const int kLineBuffer = 256;

// Reads one entry for a saved field of `field` bytes: nothing typed keeps
// the saved value; an entry longer than `longest` is refused with `refusal`
// (-1); the end of the input gives 0. Otherwise the saved value's length.
int TakeEntry(char* saved, size_t field, int longest, const char* refusal) {
    char szInput[kLineBuffer];
    int len = ReadLine(szInput, kLineBuffer);
    if (len < 0)
        return 0;
    if (len > longest) {
        puts(refusal);
        return -1;
    }
    if (len > 0)
        memcpy(saved, szInput, static_cast<size_t>(len) + 1);
    return SavedLength(saved, field);
}

} // namespace

// ---- Shared console helpers -------------------------------------------------

void DrawMenuFrame(const char* title, const char* const* options, int count) {
    const char* border = "\n *************************************************";
    const char* empty = "\n *                                                ";
    printf("%s", border);
    printf("%s", title);
    printf("%s", empty);
    for (int i = 0; i < count; ++i)
        printf("%s", options[i]);
    printf("%s", empty);
    printf("%s", border);
    printf("\n# ");
}

void DiscardWaitingInput() {
    if (isatty(fileno(stdin))) {
        // Typed ahead on a terminal: throw away everything buffered, in the
        // stream and in the terminal's own queue (keys typed during a slow
        // query would otherwise answer the next prompts). The prompt shows
        // only afterwards, so nothing typed once it is visible is lost.
        __fpurge(stdin);
        tcflush(STDIN_FILENO, TCIFLUSH);
        gbAtLineStart = true;
        fflush(stdout);
        return;
    }
    // Whatever is read next must be visible first.
    fflush(stdout);
    // A file or pipe of answers: only the rest of the line already begun
    // belongs to the last answer; the following lines are the next answers.
    while (!gbAtLineStart && !gbInputEnded)
        ConsoleGetc();
}

bool ReadMenuKey(char* key) {
    DiscardWaitingInput();
    int c = ConsoleGetc();
    while (c != EOF && isspace(c))
        c = ConsoleGetc();
    if (c == EOF)
        return false;
    *key = static_cast<char>(c);
    return true;
}

int ReadAnswer() {
    DiscardWaitingInput();
    int c = ConsoleGetc();
    if (c == EOF)
        return EOF;
    if (c != '\n') {
        int next = ConsoleGetc(); // normally the newline that ends the answer
        // CR LF: an empty answer in an answers file written with CR LF ends.
        if (c == '\r' && next == '\n')
            return '\n';
    }
    return c;
}

int ReadNumber(int* value) {
    fflush(stdout);
    // Scripted input answers one prompt per line: an empty line is an entry
    // that is no number, not a line to skip (the next answer would land here).
    // The end of a line begun before this read is only skipped.
    const bool scripted = !isatty(fileno(stdin));
    bool lineBegun = gbAtLineStart;
    int c = ConsoleGetc();
    while (c != EOF && isspace(c)) {
        if (c == '\n' && scripted && lineBegun)
            return 0;
        lineBegun = lineBegun || c == '\n';
        c = ConsoleGetc();
    }
    if (c == EOF)
        return EOF;
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = (c == '-');
        c = ConsoleGetc();
    }
    if (c == EOF || !isdigit(c)) {
        ConsoleUngetc(c);
        gbAtLineStart = false;
        return 0;
    }
    long long number = 0;
    while (c != EOF && isdigit(c)) {
        if (number <= INT_MAX)
            number = number * 10 + (c - '0');
        c = ConsoleGetc();
    }
    ConsoleUngetc(c);
    gbAtLineStart = false; // the character after the number is still unread
    if (negative)
        number = -number;
    if (number > INT_MAX)
        number = INT_MAX;
    if (number < INT_MIN)
        number = INT_MIN;
    *value = static_cast<int>(number);
    return 1;
}

bool InputEnded() {
    return gbInputEnded;
}

// ---- Prompts ----------------------------------------------------------------

int SetComport(char* szPort) {
    puts(" *** Input serial port name ***");
    printf(" The currently saved port name is (%.*s).\n", SavedLength(szPort, kPortField), szPort);
    puts(" Press ENTER to keep or input Port name to change.");
    printf(" - Input Port Name : ");
    char szInput[kLineBuffer];
    int len = ReadLine(szInput, kLineBuffer);
    if (len < 0)
        return 0;
    std::string fitted = szInput;
    if (len >= static_cast<int>(kPortField)) {
        // A long link name (/dev/serial/by-id/...) is taken as the device it
        // names. A name cut short would open a different device: one that
        // does not fit either way is refused whole, and the action with it.
        if (len >= kLineBuffer - 1 || !FitPortName(szInput, &fitted)) {
            puts(" The port name is too long (99 characters at most). The saved port name is "
                 "kept.");
            return -1;
        }
        NoteResolvedPortName(szInput, fitted);
    }
    if (len > 0)
        memcpy(szPort, fitted.c_str(), fitted.size() + 1);
    return SavedLength(szPort, kPortField);
}

int SetFilePath(int nSelect, char* szPath) {
    puts(" *** Input F/W file path ***");
    if (szPath[0] != '\0') {
        printf(" The currently saved F/W file path is (%.*s).\n", SavedLength(szPath, kPathField),
               szPath);
        puts(" Press ENTER to keep or input F/W file path to change.");
    } else {
        puts(" Enter the file path as a relative or absolute path.");
        if (nSelect == 1) {
            puts(" (ex: /home/user/FW/VARNO_RPU94_20190819.bin)");
            puts(" (ex: ../FW/VARNO_RPU94_20190819.bin)");
        } else {
            puts(" (ex: /home/user/FW/IMBRA2_0G2A09_20200122.bin)");
            puts(" (ex: ../FW/IMBRA2_0G2A09_20200122.bin)");
        }
    }
    printf(" - Input F/W file path : ");
    // A path cut short may name another file, which would be flashed.
    return TakeEntry(szPath, kPathField, static_cast<int>(kPathMax),
                     " The F/W file path is too long (254 characters at most). The saved F/W file "
                     "path is kept.");
}

bool PortPromptForAction(char* szPort) {
    int r = SetComport(szPort);
    if (r == 0)
        puts(" No input. Please try again and input value.");
    return r > 0;
}

bool PathPromptForAction(int nSelect, char* szPath) {
    int r = SetFilePath(nSelect, szPath);
    if (r == 0)
        puts(" No input. Please try again and input value.");
    return r > 0;
}

void DisplayResultMessage(int nResult) {
    puts(ResultMessageText(nResult));
}
