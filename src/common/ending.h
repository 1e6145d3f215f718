// The run's ending: the text that says how it ended, kept for the report
// of the run and for the summary of several units.
#pragma once

// Prints as printf does, and keeps the text's first line (past the line
// breaks it opens with) as the ending; a later call replaces it.
void PrintEnding(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The ending kept last, or "" where none was printed.
const char* RunEnding(void);
