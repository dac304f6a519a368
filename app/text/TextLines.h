// Menu texts as lines: TrimmedLines splits and trims, JoinedMessage makes
// one line of them (the command line's message, the record's error).
#ifndef KV_APP_TEXT_TEXTLINES_H
#define KV_APP_TEXT_TEXTLINES_H

#include <string>
#include <vector>

// The lines of a menu text without their leading and trailing blanks; empty
// lines left out.
std::vector<std::string> TrimmedLines(const std::string& text);
// A menu text as one line: its lines trimmed and joined by one blank.
std::string JoinedMessage(const std::string& text);

#endif
