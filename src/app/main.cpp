// update: installs the firmware image found in the current directory into
// the target. Arguments are ignored.
#include "app/run.h"
#include "platform.h"

int main(void)
{
    PrepareConsole();
    return RunUpdate();
}
