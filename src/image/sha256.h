// SHA-256, for the report to name the very file a unit was given, as
// sha256sum prints it.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes taken so far
    uint8_t block[64];
};

void StartSha256(Sha256* hash);
void AddSha256(Sha256* hash, const void* data, size_t n);
// The digest as 64 lowercase hexadecimal digits and a NUL.
void FinishSha256(Sha256* hash, char hex[65]);

// The file's whole content: its size and digest; false where it cannot be
// read to its end.
bool HashFile(const char* path, uint64_t* size, char hex[65]);
