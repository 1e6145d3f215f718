// Text from outside the program, device and file names, as it may be
// printed: the control characters (0x00 to 0x1F, 0x7F, and the C1 controls
// as UTF-8, C2 80 to C2 9F) are shown as '?', so that a name cannot move
// the cursor, retitle the terminal or forge a line of its own; every other
// byte stays, UTF-8 letters too.
#pragma once

#include <stddef.h>

#define PRINTABLE_SIZE 4096

// Into a buffer of the program's own, for one name at a time; a longer
// name is cut.
const char* Printable(const char* text);

// A word the user is to type after an option, as it must be typed in the
// platform's shells to reach the program unchanged: as it is where it
// holds nothing a shell would take, else quoted. A POSIX shell takes it in
// single quotes. cmd.exe and PowerShell both take it in double quotes,
// which neither can make hold '"', '%', '$' or '`', nor end in '\' (the C
// runtime would read \" as a quote kept): such a word, and one that holds
// a control character, cannot be typed, and gives NULL. Into a buffer of
// the program's own, as Printable. The page passes the word on itself: in
// a browser it stays as it is.
const char* QuotedForShell(const char* word, bool windows);
const char* TypedWord(const char* word);
