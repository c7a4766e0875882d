/*
 * pelko: the C interface through which applications talk to motion and I/O
 * controllers, directly (Ethernet, serial, PCI card) or through the dravo server.
 * Every function returns 0 on success or a negative error code.
 */
#ifndef PELKO_H
#define PELKO_H

#include <stdint.h>

#if defined(__GNUC__)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open connection; created by OrvOpen, freed by OrvClose. */
typedef struct OrvCon OrvCon;

/* A binary data record as the controller sends it, at most 512 bytes. */
typedef union OrvDataRecord {
  uint8_t bytes[512];
} OrvDataRecord;

/* The hardware behind a connection, as identification found it (1432 bytes). Texts fill
 * their field and end in a NUL only when shorter than it; integers are 32-bit little-endian. */
typedef struct OrvDescription {
  char identity[40];
  char axisLetters[32];
  char letterList3[32];
  char planeLettersMN[8];
  char planeLettersST[8];
  char optionWords[80];
  char letterList2[32];
  char modelKey[16];
  char options[15];
  char developmentSuffix[16];
  char serialNumber[16];
  char address[16];
  char reserved1[16];
  char optionReport[1024];
  char reserved2[1];
  int32_t busKind; /* 0 PCI, 1 serial, 2 network */
  int32_t word1;
  int32_t word2;
  int32_t charactersPerLine;
  int32_t programLines;
  int32_t flag1;
  int32_t word3;
  int32_t sampleRate;
  int32_t ecWord1;
  int32_t ecWord2;
  int32_t qqWord;
  int32_t flags; /* ORV_DESCRIPTION_* bits */
  int32_t axisCodes[8];
} OrvDescription;

#define ORV_DESCRIPTION_FIRMWARE_OVER_BUS 0x1
#define ORV_DESCRIPTION_LINE_ACKNOWLEDGED 0x2
#define ORV_DESCRIPTION_PACING 0x4

#ifdef __cplusplus
static_assert(sizeof(OrvDescription) == 1432, "OrvDescription is 1432 bytes");
#else
_Static_assert(sizeof(OrvDescription) == 1432, "OrvDescription is 1432 bytes");
#endif

/* Progress of writes, downloads and firmware loads: bytes done of total. */
typedef void (*OrvProgressCallback)(uint32_t done, uint32_t total, void* user);

ORV_API int32_t OrvOpen(const char* address, OrvCon** handle);
ORV_API int32_t OrvClose(OrvCon* handle);
ORV_API int32_t OrvLost(OrvCon* handle);
ORV_API int32_t OrvRead(OrvCon* handle, char* buffer, uint32_t length, uint32_t* count);
ORV_API int32_t OrvWrite(OrvCon* handle, const char* buffer, uint32_t length);
ORV_API int32_t OrvCommand(OrvCon* handle, const char* command, char* buffer, uint32_t length,
                           uint32_t* replyLength);
ORV_API int32_t OrvProgramDownload(OrvCon* handle, const char* program, const char* options);
ORV_API int32_t OrvProgramUpload(OrvCon* handle, char* buffer, uint32_t length);
ORV_API int32_t OrvArrayDownload(OrvCon* handle, const char* name, int32_t first, int32_t last,
                                 const char* values);
ORV_API int32_t OrvArrayUpload(OrvCon* handle, const char* name, int32_t first, int32_t last,
                               int32_t delimiter, char* buffer, uint32_t length);
ORV_API int32_t OrvRecord(OrvCon* handle, OrvDataRecord* record, int32_t method);
ORV_API int32_t OrvMessage(OrvCon* handle, char* buffer, uint32_t length);
ORV_API int32_t OrvInterrupt(OrvCon* handle, uint8_t* status);
ORV_API int32_t OrvFirmwareDownload(OrvCon* handle, const char* path);
ORV_API int32_t OrvUtility(OrvCon* handle, int32_t option, void* data1, void* data2);

#ifdef __cplusplus
}
#endif

#endif /* PELKO_H */
