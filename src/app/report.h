// The report: for each unit updated, one line of JSON appended to a file
// the user names, saying which unit got which image and how it ended.
#pragma once

#include "app/options.h"
#include "image/image.h"

// Opens the file before any port; false, said, where it cannot be opened
// for appending. The run's time starts here.
bool OpenReport(const RunOptions* options);
// Appends the run's line where a report was opened; image is what was read
// of it, NULL where no file was opened.
void WriteReport(const RunOptions* options, const FirmwareImage* image, int status);
// Reads a line of the report back: the value of key, a string's text (an
// escaped character other than '"' or '\\' shown as '?') or a number's
// digits; false where the line has no such key.
bool ReportValue(const char* line, const char* key, char* value, size_t size);
