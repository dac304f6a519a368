// The console helpers that the main menu and both device menus share: the
// port-name and file-path prompts and every read of the console.
#ifndef KV_APP_CONSOLE_H
#define KV_APP_CONSOLE_H

// Port-name prompt on the 100-byte saved name. Returns the length of the
// saved name; 0 when none is saved or the input has ended. An entry of more
// than 99 characters that names a link is saved as the device path the link
// resolves to when that fits; -1 when it does not: the entry is refused with
// one line, the saved name is kept, and the action that asked must end
// without opening anything.
int SetComport(char* szPort);
// File-path prompt on the 256-byte saved path; nSelect 1 shows the printer's
// example paths, any other value the dispenser's. Returns the length of the
// saved path; 0 when none is saved or the input has ended; -1 when the entry
// had more than 254 characters (refused as an over-long port name is).
int SetFilePath(int nSelect, char* szPath);
// The two prompts as a menu action runs them: true when the action goes on
// with a saved value; false when it must end, after the no-input line (none
// saved) or the refusal line (entry too long).
bool PortPromptForAction(char* szPort);
bool PathPromptForAction(int nSelect, char* szPath);
// The menus' message of a download result code.
void DisplayResultMessage(int nResult);

// ---- Console input ---------------------------------------------------------
//
// Every read of the console goes through the helpers below; they alone know
// where the input stands (see DiscardWaitingInput), so a device menu must not
// call scanf/getchar/fgets on stdin itself.
//
// End of input: once standard input has ended, nothing can be read any more
// and every menu and prompt ends instead of repeating:
//   - SetComport / SetFilePath take nothing and return 0, so the device menu
//     prints its no-input line and takes no action;
//   - ReadMenuKey returns false: the device menu leaves as its "q" does
//     (the main menu then ends as its "q" does);
//   - ReadAnswer returns EOF: the download is cancelled;
//   - ReadNumber returns EOF: treated as an invalid entry.
// Typed text is only ever printed through "%s", never as a format string.

// Draws a menu frame: border, title, empty line, the option lines, empty
// line, border, and the prompt "\n# ". Each line argument is the exact text
// of its frame line, newline included (e.g. "\n *  1 : ...   ").
void DrawMenuFrame(const char* title, const char* const* options, int count);
// Discards input waiting unread: on a terminal everything typed ahead; when
// standard input is a file or pipe only the unread rest of the current line,
// so that a file of answers drives the tool as typed answers would.
void DiscardWaitingInput();
// Discards waiting input, then reads a key as " %c" does. Returns false when
// standard input has ended (no key was read; the menu must end).
bool ReadMenuKey(char* key);
// Reads the answer to a yes/no question: discards waiting input, reads one
// character and, unless it was a newline, one more. Returns the first
// character, or EOF when the input has ended.
int ReadAnswer();
// Reads a number as " %d" does, without discarding waiting input first:
// blanks and newlines are skipped (on scripted input an empty line is taken
// as an entry that is no number), then an optional sign and digits. Returns
// 1 with the number stored, 0 when the next character does not start a
// number (it stays unread until the next discard), EOF when the input has
// ended. A number too large for an int is stored as INT_MAX / INT_MIN.
int ReadNumber(int* value);
// True once standard input has ended.
bool InputEnded();

#endif
