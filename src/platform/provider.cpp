#include "provider.h"

#include <string.h>

MMRESULT PrepareRx(MIDIHDR* hdr)
{
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT UnprepareRx(MIDIHDR* hdr)
{
    if ((hdr->dwFlags & MHDR_INQUEUE) != 0)
        return MIDIERR_STILLPLAYING;
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT AddRx(RxQueue* queue, MIDIHDR* hdr)
{
    if ((hdr->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;
    if (queue->count == MAX_QUEUED)
        return MMSYSERR_NOMEM;
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    hdr->dwBytesRecorded = 0;
    queue->headers[queue->count++] = hdr;
    return MMSYSERR_NOERROR;
}

MIDIHDR* TakeRx(RxQueue* queue)
{
    MIDIHDR* header = queue->headers[0];
    --queue->count;
    for (int i = 0; i < queue->count; ++i)
        queue->headers[i] = queue->headers[i + 1];
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    return header;
}

MMRESULT AnswerInterfaceQuery(const char* path, UINT msg, DWORD_PTR param1, DWORD_PTR param2)
{
    DWORD size = (DWORD)(strlen(path) + 1) * sizeof(WCHAR);
    if (*path == '\0' || (msg != DRV_QUERYDEVICEINTERFACESIZE && msg != DRV_QUERYDEVICEINTERFACE))
        return MMSYSERR_NOTSUPPORTED;
    if (msg == DRV_QUERYDEVICEINTERFACESIZE) {
        *(DWORD*)param1 = size;
        return MMSYSERR_NOERROR;
    }
    if (param2 < size)
        return MMSYSERR_INVALPARAM;
    WCHAR* out = (WCHAR*)param1;
    for (size_t i = 0; i * sizeof(WCHAR) < size; ++i)
        out[i] = (WCHAR)(unsigned char)path[i];
    return MMSYSERR_NOERROR;
}
