// Run control: the stages of one update, in order, and the two exit paths.
#pragma once

// Runs the whole update on the image in the current directory. The result is
// the program's exit status, always 0: the outcome is told on the console.
int RunUpdate(void);
