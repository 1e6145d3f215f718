// The room left in a program's queue of events from the sequencer, asked of
// the kernel directly: the library asks only about its own client. Apart
// from the library's headers, which define the same structures again.
#include <sound/asequencer.h>
#include <string.h>
#include <sys/ioctl.h>

int ReaderRoom(int fd, int client)
{
    struct snd_seq_client_pool pool;
    memset(&pool, 0, sizeof pool);
    pool.client = client;
    if (ioctl(fd, SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, &pool) < 0)
        return -1;
    return pool.input_free;
}
